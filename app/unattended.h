// The answers odflsh --yes gives in place of a person.
#pragma once

#include <string>

#include "core/message_codes.h"

namespace odf {

struct UnattendedAnswer {
  int answer = 0;    // IDYES or IDNO; 0: not a question --yes answers, ask as usual
  std::string note;  // what to tell on standard error, without the program's name
};

// --yes answers Yes to each question that leads to an update or to its
// retry; the question that warns an update cannot be reversed only when
// --yes was given twice, No otherwise.
UnattendedAnswer AnswerUnattended(MessageCode question, int yesCount);

}  // namespace odf
