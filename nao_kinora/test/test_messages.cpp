#include <gtest/gtest.h>

#include <nao_msgs/AllAngles.h>
#include <ros/serialization.h>

#include <cstring>
#include <string>

TEST(AllAngles, AnnouncesItsTypeAndSum)
{
  EXPECT_STREQ("nao_msgs/AllAngles", ros::message_traits::datatype<nao_msgs::AllAngles>());
  EXPECT_STREQ("4793d391be83a6ad2e527fa302927289", ros::message_traits::md5sum<nao_msgs::AllAngles>());
}

TEST(AllAngles, DefinitionTextIsTheMessageFile)
{
  const std::string text = ros::message_traits::definition<nao_msgs::AllAngles>();
  ASSERT_EQ(713u, text.size());
  const std::string head =
      "# Command angle for the head joint.\n"
      "# When absolute, sets the absolute target angle rad.\n"
      "# When relative, sets the percentage of the maximum movement velocity (-1 to 1)\n"
      "\n"
      "float32 headyaw\n"
      "float32 headpitch\n";
  EXPECT_EQ(head, text.substr(0, head.size()));
  const std::string tail = "float32 interpolationtime\nfloat32 supportfoot\n\n";
  EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
}

TEST(AllAngles, SerialisesAs24LittleEndianFloats)
{
  nao_msgs::AllAngles msg;
  float* fields[] = {&msg.headyaw,          &msg.headpitch,      &msg.leftshoulderpitch,  &msg.leftshoulderroll,
                     &msg.leftelbowyaw,     &msg.leftelbowroll,  &msg.rightshoulderpitch, &msg.rightshoulderroll,
                     &msg.rightelbowyaw,    &msg.rightelbowroll, &msg.lefthipyawpitch,    &msg.lefthiproll,
                     &msg.lefthippitch,     &msg.leftkneepitch,  &msg.leftanklepitch,     &msg.leftankleroll,
                     &msg.righthipyawpitch, &msg.righthiproll,   &msg.righthippitch,      &msg.rightkneepitch,
                     &msg.rightanklepitch,  &msg.rightankleroll, &msg.interpolationtime,  &msg.supportfoot};
  for (int i = 0; i < 24; ++i)
    *fields[i] = 0.5f + i;

  ASSERT_EQ(96u, ros::serialization::serializationLength(msg));
  uint8_t buffer[96];
  ros::serialization::OStream out(buffer, sizeof(buffer));
  ros::serialization::serialize(out, msg);
  for (int i = 0; i < 24; ++i)
  {
    const uint8_t* p = buffer + 4 * i;
    uint32_t bits = p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    EXPECT_EQ(0.5f + i, value) << "field " << i;
  }
}
