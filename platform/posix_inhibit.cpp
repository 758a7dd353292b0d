// The logind inhibitor, asked for over the system bus with sd-bus. Every wait
// on the bus is bounded by our own clock, the connection's set-up included:
// a bus or a logind that never answers costs a few seconds and a notice, never
// the flash.
#include "platform/posix_inhibit.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>

namespace odf::posix {

namespace {

constexpr char kLogindName[] = "org.freedesktop.login1";
constexpr char kLogindPath[] = "/org/freedesktop/login1";
constexpr char kManagerInterface[] = "org.freedesktop.login1.Manager";
constexpr char kInhibitMethod[] = "Inhibit";
constexpr char kInhibitSignature[] = "ssss";
constexpr char kWhat[] =
    "sleep:shutdown:idle:handle-lid-switch:handle-suspend-key:handle-hibernate-key:"
    "handle-power-key";
// Held off, not merely delayed: a machine that sleeps mid-flash leaves a
// drive without firmware.
constexpr char kMode[] = "block";
// Far more than a busy logind needs; little enough beside a flash.
constexpr std::chrono::seconds kAnswerLimit{3};
constexpr std::uint64_t kAnswerLimitUs =
    std::chrono::duration_cast<std::chrono::microseconds>(kAnswerLimit).count();

struct BusCloser {
  // Closed without a flush: the answer is in, nothing is left to send, and a
  // flush would wait on a bus that stopped answering.
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusConnection = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using BusMessage = std::unique_ptr<sd_bus_message, MessageUnref>;

std::string NoBus(int error) {
  return std::string("no system bus (") + std::strerror(error) + ")";
}

std::string NoAnswer() {
  return "no answer from logind on the system bus within " +
         std::to_string(kAnswerLimit.count()) + " s";
}

// What an error answer to the call means to the user: logind absent, logind
// silent, or logind (or the bus's policy) saying no.
std::string ProblemFromError(const sd_bus_error& error) {
  const std::string text =
      error.message != nullptr && error.message[0] != '\0' ? error.message : error.name;
  if (sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    return "logind is not running (" + text + ")";
  }
  if (sd_bus_error_has_names(&error, SD_BUS_ERROR_NO_REPLY, SD_BUS_ERROR_TIMEOUT)) return NoAnswer();
  return "refused: " + text;
}

struct Answer {
  bool arrived = false;
  int fd = -1;
  std::string problem;
};

int OnInhibitReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& answer = *static_cast<Answer*>(userdata);
  answer.arrived = true;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    answer.problem = ProblemFromError(*error);
    return 0;
  }
  int fd = -1;
  const int read = sd_bus_message_read(reply, "h", &fd);
  if (read <= 0) {
    answer.problem = "logind answered without a lock";
    return 0;
  }
  // The message closes its descriptor when it goes; the lock lasts as long as
  // our copy, which no program we start may inherit and which never takes the
  // number of a standard stream that happens to be closed.
  answer.fd = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (answer.fd < 0) answer.problem = std::string("the lock could not be kept (") + std::strerror(errno) + ")";
  return 0;
}

// Runs the connection until logind's answer is in or the limit has passed.
std::string AwaitAnswer(sd_bus* bus, const Answer& answer) {
  const auto deadline = std::chrono::steady_clock::now() + kAnswerLimit;
  while (!answer.arrived) {
    const int processed = sd_bus_process(bus, nullptr);
    if (processed < 0) return NoBus(-processed);
    if (processed > 0) continue;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return NoAnswer();
    const int waited =
        sd_bus_wait(bus, std::chrono::duration_cast<std::chrono::microseconds>(left).count() + 1);
    // A signal the update holds for later interrupts the wait, not the call.
    if (waited < 0 && waited != -EINTR) return NoBus(-waited);
  }
  return answer.problem;
}

}  // namespace

bool SleepInhibitor::Take(const std::string& who, const std::string& why, std::string& problem) {
  problem.clear();
  // Declared before the connection, which may still point at it until it closes.
  Answer answer;
  sd_bus* opened = nullptr;
  int result = sd_bus_open_system(&opened);
  if (result < 0) {
    problem = NoBus(-result);
    return false;
  }
  BusConnection bus(opened);
  sd_bus_message* made = nullptr;
  result = sd_bus_message_new_method_call(bus.get(), &made, kLogindName, kLogindPath,
                                          kManagerInterface, kInhibitMethod);
  BusMessage call(made);
  if (result >= 0) {
    result = sd_bus_message_append(call.get(), kInhibitSignature, kWhat, who.c_str(), why.c_str(),
                                   kMode);
  }
  if (result >= 0) {
    result = sd_bus_call_async(bus.get(), nullptr, call.get(), OnInhibitReply, &answer,
                               kAnswerLimitUs);
  }
  if (result < 0) {
    problem = NoBus(-result);
    return false;
  }
  problem = AwaitAnswer(bus.get(), answer);
  if (!problem.empty()) {
    if (answer.fd >= 0) close(answer.fd);
    return false;
  }
  Release();
  fd_ = answer.fd;
  return true;
}

void SleepInhibitor::Release() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
}

}  // namespace odf::posix
