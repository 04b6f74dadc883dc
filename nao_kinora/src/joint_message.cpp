#include "nao_kinora/joint_message.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace nao_kinora
{
std_msgs::Float32MultiArray encodeJointMessage(const JointRow& row)
{
  std_msgs::Float32MultiArray message;
  message.data.reserve(kJointMessageSize);
  message.data.push_back(kJointMessageMarker);
  message.data.insert(message.data.end(), row.begin(), row.end());
  return message;
}

std::string decodeJointMessage(const std::vector<float>& data, JointRow& row)
{
  std::ostringstream fault;
  if (data.size() != kJointMessageSize)
  {
    fault << data.size() << " values instead of " << kJointMessageSize;
    return fault.str();
  }
  std::copy(data.begin() + 1, data.end(), row.begin());
  if (data[0] != kJointMessageMarker)
    fault << "first value " << data[0] << " instead of " << kJointMessageMarker;
  else if (!(row[kDurationColumn] >= 0) || !std::isfinite(row[kDurationColumn]))
    fault << "duration " << row[kDurationColumn] << " is negative or not finite";
  else
    for (int k = 0; k < kJointCount; ++k)
      if (!std::isfinite(row[k]))
      {
        fault << "joint " << k << " is " << row[k];
        break;
      }
  return fault.str();
}
}  // namespace nao_kinora
