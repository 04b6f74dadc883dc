#include "nao_kinora/recording.h"

#include <locale>
#include <sstream>

std::string staticdisplaycommand2 = "/home/tamsel/Desktop/dataset/jointangles/";

namespace nao_kinora
{
int parseJointValues(const std::string& line, JointRow& row)
{
  std::istringstream iss(line);
  // A global locale with another decimal point must not change what a row is.
  iss.imbue(std::locale::classic());
  int count = 0;
  while (count < kRowColumns && iss >> row[count])
    ++count;
  return count;
}

bool parseJointRow(const std::string& line, JointRow& row)
{
  return parseJointValues(line, row) == kRowColumns;
}

bool readJointRows(std::istream& in, std::vector<JointRow>& rows, std::string& stopLine)
{
  std::string line;
  JointRow temp;
  while (std::getline(in, line))
  {
    if (!parseJointRow(line, temp))
    {
      stopLine = line;
      return true;
    }
    rows.push_back(temp);
  }
  return false;
}
}  // namespace nao_kinora
