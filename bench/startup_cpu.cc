// Processor time (user + system) of starting the command line, against
// `jdupes --version` measured in the same run: `tallowick --version`, and a
// `tallowick phone` invocation paired by code up to its first answer (a
// summary asked of a loopback port where nothing listens, so the run costs
// the start, the arguments and one refused connection: everything a phone
// command does before an agent answers, and none of the agent's work). TLS
// and the code's key are set up once the agent answers, so they are not in
// it. Each figure is the median of many runs; the load average is printed
// before and after, since a busy machine inflates every figure.
// Usage: startup_cpu [RUNS] (default 200)

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

double cpuMs(const rusage& usage) {
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// The median processor time of `runs` runs of `argv`, output discarded.
double medianCpuMs(const std::vector<std::string>& argv, int runs) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      std::freopen("/dev/null", "w", stdout);
      std::freopen("/dev/null", "w", stderr);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 127) {
      std::fprintf(stderr, "cannot run %s\n", argv[0].c_str());
      std::exit(1);
    }
    times.push_back(cpuMs(usage));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// A loopback port nobody listens on (bound, then let go).
int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::exit(1);
  }
  close(fd);
  return ntohs(address.sin_port);
}

// The first three fields of /proc/loadavg.
std::string loadAverage() {
  std::FILE* file = std::fopen("/proc/loadavg", "r");
  if (!file) return "unknown";
  double one = 0, five = 0, fifteen = 0;
  const int read = std::fscanf(file, "%lf %lf %lf", &one, &five, &fifteen);
  std::fclose(file);
  if (read != 3) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", one, five, fifteen);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
  namespace fs = std::filesystem;
  // The program beside this folder: build/bench/startup_cpu runs build/tallowick.
  const std::string program =
      (fs::canonical("/proc/self/exe").parent_path().parent_path() / "tallowick").string();
  char home[] = "/tmp/tallowick-bench-startup-XXXXXX";
  if (!mkdtemp(home)) return 1;
  setenv("HOME", home, 1);
  setenv("XDG_DATA_HOME", (std::string(home) + "/data").c_str(), 1);

  const std::string loadBefore = loadAverage();
  const double jdupes = medianCpuMs({"jdupes", "--version"}, runs);
  const double version = medianCpuMs({program, "--version"}, runs);
  const double phone =
      medianCpuMs({program, "phone", "--host", "127.0.0.1", "--port", std::to_string(freePort()),
                   "--code", "123456", "--timeout", "1", "summary"},
                  runs);
  std::printf("load average: %s before, %s after\n", loadBefore.c_str(), loadAverage().c_str());
  std::printf("jdupes --version: %.2f ms of processor time (median of %d)\n", jdupes, runs);
  std::printf("tallowick --version: %.2f ms; ratio %.1fx (goal <= 3x)\n", version,
              version / jdupes);
  std::printf("tallowick phone … summary (nothing listening): %.2f ms; ratio %.1fx (goal <= 3x)\n",
              phone, phone / jdupes);
  fs::remove_all(home);
}
