#include "common/interrupt.h"

namespace tessaloom::common {
namespace {

thread_local Interrupt* current = nullptr;

}  // namespace

Interrupt::Scope::Scope(Interrupt& interrupt) : previous_(current) { current = &interrupt; }

Interrupt::Scope::~Scope() { current = previous_; }

Interrupt* Interrupt::installed() { return current; }

void Poll::check() {
  countdown_ = kSteps;
  if (interrupt_ == nullptr) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_) return;
  next_ = now + Interrupt::kCheckEvery;
  if (interrupt_->requested()) throw Interrupted{};
}

}  // namespace tessaloom::common
