#include "nao_kinora/parameters.h"

#include <ros/ros.h>
#include <xmlrpcpp/XmlRpcValue.h>

#include <cmath>
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

std::string plainText(XmlRpc::XmlRpcValue& value)
{
  std::ostringstream text;
  text << value;
  return text.str();
}

// "the number 123", "true", ...: what the parameter server holds, in words.
std::string described(XmlRpc::XmlRpcValue& value)
{
  const bool number =
      value.getType() == XmlRpc::XmlRpcValue::TypeInt || value.getType() == XmlRpc::XmlRpcValue::TypeDouble;
  return (number ? "the number " : "") + plainText(value);
}
}  // namespace

bool readTextParam(const std::string& name, std::string& value)
{
  XmlRpc::XmlRpcValue given;
  if (!privateParam(name, given))
    return true;
  if (given.getType() != XmlRpc::XmlRpcValue::TypeString)
  {
    ROS_ERROR("parameter ~%s must be text, not %s; to give a name made of digits, quote it: _%s:=\"'%s'\"",
              name.c_str(), described(given).c_str(), name.c_str(), plainText(given).c_str());
    return false;
  }
  value = static_cast<std::string>(given);
  return true;
}

bool readSecondsParam(const std::string& name, double& value)
{
  XmlRpc::XmlRpcValue given;
  if (!privateParam(name, given))
    return true;
  double seconds = NAN;
  if (given.getType() == XmlRpc::XmlRpcValue::TypeInt)
    seconds = static_cast<int>(given);
  else if (given.getType() == XmlRpc::XmlRpcValue::TypeDouble)
    seconds = static_cast<double>(given);
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
}  // namespace nao_kinora
