// Stopping long work of the core from outside it. The thread that runs the
// work installs an Interrupt for as long as it runs (Interrupt::Scope); the
// work's long loops poll it through a Poll, which counts its calls and, at
// most every kCheckEvery of time, asks the installed Interrupt whether to
// stop, and throws Interrupted when it says so. Without an installed
// Interrupt polling costs a countdown. The work is then abandoned: whatever
// it built is freed as the exception unwinds, as for any other failure.
#pragma once

#include <chrono>
#include <cstdint>

namespace tessaloom::common {

// Thrown by Poll when the installed Interrupt asks to stop. Not a
// std::exception: the code that installed the Interrupt catches it.
struct Interrupted {};

class Interrupt {
 public:
  static constexpr std::chrono::milliseconds kCheckEvery{20};

  virtual ~Interrupt() = default;
  // Whether the work is to stop; called on the working thread.
  virtual bool requested() = 0;

  // Installs an Interrupt on this thread for its lifetime.
  class Scope {
   public:
    explicit Scope(Interrupt& interrupt);
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    ~Scope();

   private:
    Interrupt* previous_;
  };

  // The Interrupt installed on this thread, or null.
  static Interrupt* installed();
};

// Call operator() once per step of a long loop. A step should take well
// under a microsecond to a few microseconds: the clock is read every 4,096
// steps. After a step of milliseconds (a sorted run, a merge), call now().
class Poll {
 public:
  Poll() : interrupt_(Interrupt::installed()) {}
  void operator()() {
    if (--countdown_ == 0) check();
  }
  void now() { check(); }

 private:
  void check();
  Interrupt* interrupt_;
  std::uint32_t countdown_ = kSteps;
  std::chrono::steady_clock::time_point next_{};
  static constexpr std::uint32_t kSteps = 4096;
};

}  // namespace tessaloom::common
