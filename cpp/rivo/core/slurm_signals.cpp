#include "rivo/core/slurm_signals.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace tavro::rivo::slurm {
namespace {

std::mutex g_mu;
int g_holders = 0;
bool g_installed = false;
struct sigaction g_old;
std::atomic<int> g_received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch a lock-free flag");

void on_term(int) { g_received.store(1); }

}  // namespace

TermHold::TermHold() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_holders++ > 0) return;
  struct sigaction cur;
  if (::sigaction(SIGTERM, nullptr, &cur) != 0) return;
  if ((cur.sa_flags & SA_SIGINFO) || cur.sa_handler != SIG_DFL) return;
  struct sigaction sa {};
  sa.sa_handler = on_term;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  if (::sigaction(SIGTERM, &sa, &g_old) == 0) g_installed = true;
}

TermHold::~TermHold() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (--g_holders > 0 || !g_installed) return;
  g_installed = false;
  struct sigaction cur;
  // Put back only our own: the host may have installed a handler since.
  if (::sigaction(SIGTERM, nullptr, &cur) == 0 && !(cur.sa_flags & SA_SIGINFO) && cur.sa_handler == on_term)
    ::sigaction(SIGTERM, &g_old, nullptr);
  if (g_received.exchange(0)) ::kill(::getpid(), SIGTERM);
}

bool TermHold::received() { return g_received.load() != 0; }

}  // namespace tavro::rivo::slurm
