// Pipeline frame: buffers, threads, control words and hand-off (stub, to be written).
#include <cstdlib>
#include "container/container.h"
namespace qn::ctr {
std::unique_lock<std::mutex> lockSite(std::mutex& m, const char*) { return std::unique_lock<std::mutex>(m); }
void waitSecond(std::condition_variable&, std::unique_lock<std::mutex>&) { std::abort(); }
void pollSleep() { std::abort(); }
void initBuf(int64_t) { std::abort(); }
void init() { std::abort(); }
void threadCreateLock() { std::abort(); }
void threadStart() { std::abort(); }
void threadStop() { std::abort(); }
}  // namespace qn::ctr
