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

}  // namespace

UnattendedAnswer AnswerUnattended(MessageCode question, int yesCount) {
  if (yesCount <= 0) return {};
  for (const Question& q : kQuestions) {
    if (q.code != question) continue;
    const std::string topic = std::string("the question whether to ") + q.topic;
    if (yesCount >= q.yesNeeded) return {win::IDYES, "--yes answered Yes to " + topic + "."};
    return {win::IDNO, "answered No to " + topic + ": give --yes twice to answer Yes."};
  }
  return {};
}

}  // namespace odf
