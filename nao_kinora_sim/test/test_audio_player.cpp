// The simulated audio player: each cue printed with its ROS time, its file
// played when there is a sound folder.
#include "peer_rig.h"

namespace
{
using namespace peer_test;

TEST(AudioPlayer, PrintsEachCueWithItsRosTimeAndPlaysItsFileWhenThereIsOne)
{
  kinora_test::TempDir dir;
  const std::string sounds = dir.path() + "sounds";
  const std::string played = dir.path() + "played";
  dir.makeDir("sounds");
  dir.write("sounds/merhaba.wav", "RIFF");
  const std::string player = dir.write("player.sh", "#!/bin/sh\necho \"$1\" >> " + played + "\n");
  chmod(player.c_str(), 0755);

  Wire wire;
  wire.setClock(100.5);
  const auto audio = peer("audio_player", {"_sound_dir:=" + sounds, "_player:=" + player});
  ASSERT_TRUE(waitFor([&] { return printed(*audio, "playing cues from " + sounds + " with " + player); }));

  ASSERT_TRUE(wire.send("talkerfilename", text("merhaba.wav")));
  EXPECT_TRUE(
      waitFor([&] { return printed(*audio, "[audio]    +0.000 s  cue merhaba.wav          (ROS time 100.500)\n"); }))
      << audio->out();
  EXPECT_TRUE(waitFor([&] { return readFile(played) == sounds + "/merhaba.wav\n"; })) << readFile(played);

  wire.setClock(105.75);
  ASSERT_TRUE(wire.send("talkerfilename", text("aciklama.wav")));
  EXPECT_TRUE(
      waitFor([&] { return printed(*audio, "[audio]    +5.250 s  cue aciklama.wav         (ROS time 105.750)\n"); }))
      << audio->out();
  EXPECT_TRUE(waitFor([&] { return warned(*audio, "no sound file [" + sounds + "/aciklama.wav]"); })) << audio->err();
  EXPECT_EQ(sounds + "/merhaba.wav\n", readFile(played));
}

TEST(AudioPlayer, WithoutASoundFolderOnlyPrints)
{
  Wire wire;
  wire.setClock(7.0);
  const auto audio = peer("audio_player", {"_player:=/bin/false"});
  ASSERT_TRUE(wire.send("talkerfilename", text("bitis.wav")));
  EXPECT_TRUE(waitFor([&] { return printed(*audio, "cue bitis.wav"); }));
  EXPECT_TRUE(printed(*audio, "[audio] no sound folder given: cues are printed only\n"));
}
}  // namespace
