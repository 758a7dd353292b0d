// The answers odflsh --yes gives in place of a person.
#pragma once

#include <string>

#include "core/message_codes.h"

namespace odf {

struct UnattendedAnswer {
  int answer = 0;    // IDYES or IDNO; 0: not a question --yes answers, ask as usual
  std::string note;  // what to tell on standard error, without the program's name
};

// A drive's update is retried at most this many times on --yes: a drive that
// keeps failing must not have its image re-sent for ever.
inline constexpr int kUnattendedRetries = 3;

// --yes answers Yes to each question that leads to an update or to its
// retry; the question that warns an update cannot be reversed only when
// --yes was given twice, No otherwise. `retriesGiven` counts the Yes answers
// already given to the current drive's retry question: past the limit that
// question is answered No.
UnattendedAnswer AnswerUnattended(MessageCode question, int yesCount, int retriesGiven = 0);

// The note for a question answered No, whoever would have answered it,
// because the program was interrupted.
std::string InterruptedAnswerNote(MessageCode question);

// --yes over a whole run: counts each drive's retries.
class UnattendedAnswers {
 public:
  explicit UnattendedAnswers(int yesCount) : yesCount_(yesCount) {}
  // Told of each message: a drive's start begins its count afresh.
  void Showing(MessageCode code);
  UnattendedAnswer Answer(MessageCode question);

 private:
  int yesCount_;
  int retriesGiven_ = 0;
};

}  // namespace odf
