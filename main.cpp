// gpio-cycle: sets up GPIO pins 25 and 24 as outputs and 17 and 27 as inputs,
// then watches the inputs for as long as it runs. Whenever one reads active,
// it drives the outputs through one cycle: 25 high for a second, 24 high for
// a second, both low for two seconds.
//
// Takes no arguments. Exits with status 2 when the pins cannot be set up;
// otherwise runs until it is ended by a signal. Messages come from the GPIO
// operations, one line each on standard output; one that cannot be delivered
// is dropped.

#include <chrono>
#include <csignal>
#include <thread>

#include "gpio/gpio.hpp"

namespace {

struct PinSetup {
  const char* pin;
  const char* direction;
};

// Set up in this order; the first failure ends the program.
constexpr PinSetup kPins[] = {
    {"25", "out"},  // first output
    {"24", "out"},  // second output
    {"17", "in"},   // input, read second
    {"27", "in"},   // input, read first
};

struct Phase {
  const char* pin25;
  const char* pin24;
  std::chrono::seconds hold;
};

constexpr Phase kCycle[] = {
    {"1", "0", std::chrono::seconds(1)},
    {"0", "1", std::chrono::seconds(1)},
    {"0", "0", std::chrono::seconds(2)},
};

constexpr int kSetupFailed = 2;

// One full output cycle. A failed write has printed its message and is
// otherwise ignored: the cycle always runs to its end. The inputs are not
// read meanwhile.
void runCycle() {
  for (const Phase& phase : kCycle) {
    gpio::writeGPIO("25", phase.pin25);
    gpio::writeGPIO("24", phase.pin24);
    std::this_thread::sleep_for(phase.hold);
  }
}

}  // namespace

int main() {
  // A message written to a pipe whose reader has gone must fail with EPIPE,
  // not end the program mid-cycle: once set up, nothing stops it.
  (void)std::signal(SIGPIPE, SIG_IGN);

  for (const PinSetup& setup : kPins) {
    if (!gpio::exportGPIO(setup.pin, setup.direction)) {
      return kSetupFailed;
    }
  }

  // Busy poll, by design: no pause between polls. Pin 17 is read only when
  // pin 27 reads inactive.
  for (;;) {
    if (gpio::readGPIOAsync("27") || gpio::readGPIOAsync("17")) {
      runCycle();
    }
  }
}
