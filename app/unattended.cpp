#include "app/unattended.h"

#include "platform/win_types.h"

namespace odf {

namespace {

struct Question {
  MessageCode code;
  const char* topic;
  int yesNeeded;
};

constexpr Question kQuestions[] = {
    {MessageCode::kAskUpdateAllDrives, "update all drives", 1},
    {MessageCode::kAskUpdateDrive, "update this drive", 1},
    {MessageCode::kAskUpdateFirmware, "update this drive's firmware", 1},
    {MessageCode::kAskRetryAfterNormalModeFailed, "retry the update", 1},
    {MessageCode::kAskIrreversibleUpdate, "make an update that cannot be reversed", 2},
};

const Question* Find(MessageCode code) {
  for (const Question& q : kQuestions) {
    if (q.code == code) return &q;
  }
  return nullptr;
}

std::string Topic(const Question& q) { return std::string("the question whether to ") + q.topic; }

}  // namespace

UnattendedAnswer AnswerUnattended(MessageCode question, int yesCount, int retriesGiven) {
  const Question* q = Find(question);
  if (yesCount <= 0 || q == nullptr) return {};
  if (q->code == MessageCode::kAskRetryAfterNormalModeFailed && retriesGiven >= kUnattendedRetries) {
    return {win::IDNO, "answered No to " + Topic(*q) + ": --yes retries a drive's update at most " +
                           std::to_string(kUnattendedRetries) + " times."};
  }
  if (yesCount >= q->yesNeeded) return {win::IDYES, "--yes answered Yes to " + Topic(*q) + "."};
  return {win::IDNO, "answered No to " + Topic(*q) + ": give --yes twice to answer Yes."};
}

std::string InterruptedAnswerNote(MessageCode question) {
  const Question* q = Find(question);
  return "answered No to " + (q != nullptr ? Topic(*q) : std::string("a question")) +
         ", as the program was interrupted.";
}

void UnattendedAnswers::Showing(MessageCode code) {
  if (code == MessageCode::kStartingDevice) retriesGiven_ = 0;
}

UnattendedAnswer UnattendedAnswers::Answer(MessageCode question) {
  UnattendedAnswer given = AnswerUnattended(question, yesCount_, retriesGiven_);
  if (question == MessageCode::kAskRetryAfterNormalModeFailed && given.answer == win::IDYES) {
    ++retriesGiven_;
  }
  return given;
}

}  // namespace odf
