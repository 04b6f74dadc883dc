// Time and peak memory of loading a long recording, checking it, and the
// motion-over analysis over it. Usage: bench_recording [rows ...]
// (default: 5000 and 100000 rows). Each size is generated in a temporary file.
#include "nao_kinora/loader.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/run_flags.h"
#include "nao_kinora/recording_check.h"
#include "nao_kinora/variance.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
const char* const kFileName = "bench_recording.txt";
const int kDefaultSizes[] = {5000, 100000};

// Joint angles as a recorder writes them: six decimals, in radians, and 40 ms rows.
void writeRecording(const std::string& path, int rows)
{
  FILE* out = std::fopen(path.c_str(), "w");
  if (!out)
  {
    std::perror(path.c_str());
    std::exit(1);
  }
  for (int r = 0; r < rows; ++r)
  {
    for (int c = 0; c < kJointCount; ++c)
      std::fprintf(out, "%.6f ", std::sin(0.001 * r * (c + 1)) * (c % 3 + 0.5));
    std::fprintf(out, "0.040000\n");
  }
  std::fclose(out);
}

double peakMegabytes()
{
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

template <class F>
double seconds(F work)
{
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void bench(const std::string& dir, int rows)
{
  const std::string path = dir + kFileName;
  writeRecording(path, rows);
  const double peakBefore = peakMegabytes();

  const double load = seconds([] { loadRecording(kFileName); });
  const double peakLoaded = peakMegabytes();
  std::vector<int> moving;
  const double analyse = seconds(
      [&moving]
      {
        calculateVariance(play_joints);
        moving = movingJoints();
      });
  const double peakAnalysed = peakMegabytes();
  RecordingCheck check;
  const double checking = seconds([&check, &path] { check = checkRecording(path); });

  std::printf("%7d rows (%zu loaded, %zu checked, %zu moving joints):\n", rows, play_joints.size(), check.rows,
              moving.size());
  std::printf("  load %.3f s, analysis %.3f s, check %.3f s\n", load, analyse, checking);
  std::printf("  peak resident memory: %.1f MB before, %.1f MB after loading, %.1f MB after analysis\n", peakBefore,
              peakLoaded, peakAnalysed);
  std::remove(path.c_str());
}
}  // namespace

int main(int argc, char** argv)
{
  char pattern[] = "/tmp/kinora_bench_XXXXXX";
  if (!mkdtemp(pattern))
  {
    std::perror("mkdtemp");
    return 1;
  }
  staticdisplaycommand2 = std::string(pattern) + "/";

  if (argc > 1)
    for (int k = 1; k < argc; ++k)
      bench(staticdisplaycommand2, std::atoi(argv[k]));
  else
    for (int rows : kDefaultSizes)
      bench(staticdisplaycommand2, rows);
  rmdir(pattern);
  return 0;
}
