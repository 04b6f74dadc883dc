#include "nao_kinora/stop_signals.h"

#include <ros/ros.h>

#include <signal.h>
#include <unistd.h>

namespace nao_kinora
{
namespace
{
const int kStoppedStatus = 0;

void exitNow(int)
{
  _exit(kStoppedStatus);
}

void requestRosShutdown(int)
{
  ros::requestShutdown();
}

void handle(int signal, void (*handler)(int))
{
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, 0);
}
}  // namespace

void stopAtOnceOnSignals()
{
  handle(SIGINT, exitNow);
  handle(SIGTERM, exitNow);
}

void stopThroughRosOnSignals()
{
  handle(SIGINT, requestRosShutdown);  // roscpp installed the same already; made sure here
  handle(SIGTERM, requestRosShutdown);
}
}  // namespace nao_kinora
