#include "nao_kinora/parameters.h"

#include <ros/ros.h>
#include <xmlrpcpp/XmlRpcValue.h>

#include <cmath>
#include <fstream>
#include <sstream>

namespace nao_kinora
{
namespace
{
// The value of a private parameter; false when it is not given.
bool privateParam(const std::string& name, XmlRpc::XmlRpcValue& value)
{
  return ros::param::has("~" + name) && ros::param::get("~" + name, value);
}

// The text of _name:=TEXT as the process was started (ros::init takes the
// argument out of argv, and keeps only what it made of it).
bool typedOnCommandLine(const std::string& name, std::string& text)
{
  std::ifstream cmdline("/proc/self/cmdline");
  const std::string prefix = "_" + name + ":=";
  std::string arg;
  bool found = false;
  while (std::getline(cmdline, arg, '\0'))
    if (arg.compare(0, prefix.size(), prefix) == 0)
    {
      text = arg.substr(prefix.size());  // the last one counts, as for ros::init
      found = true;
    }
  return found;
}

// "the number 123", "true", ...: what the parameter server holds, in words.
std::string described(XmlRpc::XmlRpcValue& value)
{
  if (value.getType() == XmlRpc::XmlRpcValue::TypeBoolean)
    return static_cast<bool>(value) ? "true" : "false";  // XmlRpc writes 1 and 0
  const bool number =
      value.getType() == XmlRpc::XmlRpcValue::TypeInt || value.getType() == XmlRpc::XmlRpcValue::TypeDouble;
  std::ostringstream text;
  text << (number ? "the number " : "") << value;
  return text.str();
}
}  // namespace

bool readTextParam(const std::string& name, std::string& value)
{
  XmlRpc::XmlRpcValue given;
  if (!privateParam(name, given))
    return true;
  if (given.getType() == XmlRpc::XmlRpcValue::TypeString)
  {
    value = static_cast<std::string>(given);
    return true;
  }
  // ros::init stores _name:=123 as a number; the text typed is still on the
  // command line, and a folder or file may well be named by digits.
  std::string typed;
  if (typedOnCommandLine(name, typed))
  {
    value = typed;
    return true;
  }
  ROS_ERROR("parameter ~%s must be text, not %s (give it as a string, e.g. type=\"str\" in a launch file)",
            name.c_str(), described(given).c_str());
  return false;
}

namespace
{
// A number given as int or double; NaN for any other type.
double numberOf(XmlRpc::XmlRpcValue& given)
{
  if (given.getType() == XmlRpc::XmlRpcValue::TypeInt)
    return static_cast<int>(given);
  if (given.getType() == XmlRpc::XmlRpcValue::TypeDouble)
    return static_cast<double>(given);
  return NAN;
}
}  // namespace

bool readNumberParam(const std::string& name, double& value)
{
  XmlRpc::XmlRpcValue given;
  if (!privateParam(name, given))
    return true;
  const double number = numberOf(given);
  if (!std::isfinite(number))
  {
    ROS_ERROR("parameter ~%s must be a number, not %s", name.c_str(), described(given).c_str());
    return false;
  }
  value = number;
  return true;
}

bool readSecondsParam(const std::string& name, double& value)
{
  XmlRpc::XmlRpcValue given;
  if (!privateParam(name, given))
    return true;
  const double seconds = numberOf(given);
  if (!(seconds >= 0) || !std::isfinite(seconds))
  {
    ROS_ERROR("parameter ~%s must be a number of seconds >= 0, not %s", name.c_str(), described(given).c_str());
    return false;
  }
  value = seconds;
  return true;
}

bool readWholeParam(const std::string& name, long& value, std::string& given)
{
  XmlRpc::XmlRpcValue param;
  if (!privateParam(name, param))
    return true;
  given = described(param);
  if (param.getType() != XmlRpc::XmlRpcValue::TypeInt)
  {
    ROS_ERROR("parameter ~%s must be a whole number, not %s", name.c_str(), given.c_str());
    return false;
  }
  value = static_cast<int>(param);
  return true;
}

bool readNumberParam(const std::string& name, double& value, double least, double most, const std::string& expected)
{
  XmlRpc::XmlRpcValue given;
  if (!privateParam(name, given))
    return true;
  const double number = numberOf(given);
  if (!(number >= least && number <= most))
  {
    ROS_ERROR("parameter ~%s must be %s, from %g to %g, not %s", name.c_str(), expected.c_str(), least, most,
              described(given).c_str());
    return false;
  }
  value = number;
  return true;
}

bool readTruthParam(const std::string& name, bool& value)
{
  XmlRpc::XmlRpcValue given;
  if (!privateParam(name, given))
    return true;
  if (given.getType() != XmlRpc::XmlRpcValue::TypeBoolean)
  {
    ROS_ERROR("parameter ~%s must be true or false, not %s", name.c_str(), described(given).c_str());
    return false;
  }
  value = static_cast<bool>(given);
  return true;
}
}  // namespace nao_kinora
