#pragma once
// Helpers shared by the server's source files; not part of its interface.

#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "core/server/server.h"
#include "shared/paths.h"

namespace tallowick {

// The server queue: one thread running one io_context.
struct Server::Queue {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::thread thread;
};

namespace server_internal {

// Background pools shared by every server of the process. They are never
// destroyed, so work still running at exit does not hold the process up.
// Scans and phone previews: the user is waiting for them.
asio::thread_pool& userInitiatedPool();
// Thumbnail warm-up: nobody waits for it, so it never takes both cores,
// and its thread runs at a lower weight (nice +10, SCHED_BATCH).
asio::thread_pool& utilityPool();

// A path given as a path or a file URL, as a path.
std::string pathOf(const std::string& pathOrURL);
std::string joined(const std::vector<std::string>& parts, const std::string& separator);

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
// Spelled out for compilers (clang 14) that deduce no aggregate's arguments.
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace server_internal
}  // namespace tallowick
