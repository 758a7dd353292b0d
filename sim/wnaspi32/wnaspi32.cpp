// WNASPI32.DLL, a test fixture: the ASPI layer of a Windows 95/98/Me PC whose
// SCSI adapters carry the simulated drives, so the real Windows program runs
// end to end (under Wine, or on Windows) with no drive at hand. Never shipped.
//
// It reads simdrives.txt from its own folder at the first call, answers
// GetASPI32SupportInfo (ordinal 1) and SendASPI32Command (ordinal 2), and when
// the process ends writes beside itself simstate.txt (each drive's final
// state, as odflsh-sim prints it) and simtrace.txt (every command received).
//
// As a real layer does, it finishes most commands during submission and
// leaves those the drive takes time over pending: a worker thread completes
// them later, setting SRB_Status (for a program that polls) and then the
// event of SRB_PostProc (for one that waits with SRB_EVENT_NOTIFY).
//
// The simulator's headers come first: <windows.h> defines macros with the
// names of their constants. The code stays outside namespace odf, where the
// simulator's Windows type names would capture the SDK's.
#include "sim/wnaspi32/aspi_layer.h"
#include "sim/pc/sim_pc_impl.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <deque>
#include <string>

namespace {

using odf::SRB_ExecSCSICmd;
using odf::SRB_HAInquiry;
using odf::wnaspi32::AspiLayer;
using odf::wnaspi32::Completion;

// One exec block the layer has not finished yet.
struct Job {
  SRB_ExecSCSICmd* srb = nullptr;
  ::HANDLE event = nullptr;  // none in polled mode
  bool executed = false;     // the drive has received the command
  bool cancelled = false;    // the block was submitted again: this completion is void
  Completion completion;
  ::ULONGLONG dueMs = 0;
};

struct Fixture {
  AspiLayer layer;
  std::string folder;        // with its trailing backslash
  std::string error;         // a mistake in simdrives.txt
  std::deque<Job> jobs;      // in submission order; the worker serves the front one
  ::HANDLE wake = nullptr;
  ::ULONGLONG startMs = 0;
};

::HMODULE g_module = nullptr;
::CRITICAL_SECTION g_lock;
// Made at the first call and never destroyed: the worker thread uses it until
// the process ends, and the reports read it at process detach.
Fixture* g_fixture = nullptr;

class Locked {
 public:
  Locked() { ::EnterCriticalSection(&g_lock); }
  ~Locked() { ::LeaveCriticalSection(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

std::string ModuleFolder() {
  char path[MAX_PATH] = {};
  const ::DWORD length = ::GetModuleFileNameA(g_module, path, sizeof path);
  const std::string file(path, length < sizeof path ? length : 0);
  const std::size_t slash = file.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  const ::HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char chunk[4096];
  ::DWORD got = 0;
  while (::ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0) text.append(chunk, got);
  ::CloseHandle(file);
  return true;
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  const ::HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  ::DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<::DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
}

std::uint64_t Elapsed(const Fixture& f) { return ::GetTickCount64() - f.startMs; }

// Writes the outcome into the block, then wakes a program that waits for it.
void Finish(const Job& job, const Completion& c) {
  AspiLayer::Complete(*job.srb, c);
  if (job.event != nullptr) ::SetEvent(job.event);
}

void Execute(Fixture& f, Job& job) {
  job.completion = f.layer.Execute(*job.srb, Elapsed(f));
  job.executed = true;
  job.dueMs = ::GetTickCount64() + job.completion.delayMs;
}

// Serves the jobs in order: runs a queued command on its drive, waits out the
// time the drive takes over it, and completes it.
::DWORD WINAPI Worker(void* parameter) {
  Fixture& f = *static_cast<Fixture*>(parameter);
  Locked locked;
  for (;;) {
    while (!f.jobs.empty() && f.jobs.front().cancelled) f.jobs.pop_front();
    ::DWORD waitMs = INFINITE;
    if (!f.jobs.empty()) {
      Job& job = f.jobs.front();
      if (!job.executed) Execute(f, job);
      const ::ULONGLONG now = ::GetTickCount64();
      if (now >= job.dueMs) {
        const Job done = job;
        f.jobs.pop_front();
        Finish(done, done.completion);
        continue;
      }
      waitMs = static_cast<::DWORD>(job.dueMs - now);
    }
    ::LeaveCriticalSection(&g_lock);
    ::WaitForSingleObject(f.wake, waitMs);
    ::EnterCriticalSection(&g_lock);
  }
}

// Called with g_lock held.
Fixture& TheFixture() {
  if (g_fixture != nullptr) return *g_fixture;
  auto* f = new Fixture;
  f->startMs = ::GetTickCount64();
  f->folder = ModuleFolder();
  std::string text;  // no simdrives.txt: an adapter without drives
  ReadWholeFile(f->folder + "simdrives.txt", text);
  if (!f->layer.Configure(text, f->error)) {
    const std::string line = "WNASPI32.DLL: simdrives.txt: " + f->error + "\n";
    ::DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<::DWORD>(line.size()),
                &written, nullptr);
  }
  f->wake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  const ::HANDLE worker = ::CreateThread(nullptr, 0, Worker, f, 0, nullptr);
  if (worker != nullptr) ::CloseHandle(worker);
  g_fixture = f;
  return *f;
}

::DWORD Submit(Fixture& f, SRB_ExecSCSICmd& srb) {
  Job job;
  job.srb = &srb;
  const bool notify = (srb.SRB_Flags & odf::SRB_EVENT_NOTIFY) != 0;
  if (notify) job.event = static_cast<::HANDLE>(srb.SRB_PostProc);
  if (const std::uint8_t refused = f.layer.Check(srb); refused != odf::SS_PENDING) {
    Completion c;
    c.status = refused;
    Finish(job, c);
    return refused;
  }
  // A block submitted again was taken back by its owner (after a wait that
  // ran out): the command it carried before is never completed into it.
  bool behind = false;
  for (Job& j : f.jobs) {
    if (j.srb == &srb) j.cancelled = true;
    else if (!j.cancelled) behind = true;
  }
  srb.SRB_Status = odf::SS_PENDING;
  if (!behind) {
    Execute(f, job);
    if (job.completion.delayMs == 0) {
      Finish(job, job.completion);
      return job.completion.status;
    }
  }
  f.jobs.push_back(job);
  ::SetEvent(f.wake);
  return odf::SS_PENDING;
}

// SC_ABORT_SRB: a command the layer has not completed ends at once with
// SS_ABORTED (its event set, as for any completion), and its block is never
// written again; one completed already has nothing left to abort.
::DWORD Abort(Fixture& f, odf::SRB_Abort& srb) {
  const std::uint8_t answer = f.layer.CheckAbort(srb);
  if (answer != odf::SS_PENDING) {
    srb.SRB_Status = answer;
    return answer;
  }
  for (Job& j : f.jobs) {
    if (j.cancelled || static_cast<void*>(j.srb) != srb.SRB_ToAbort) continue;
    j.cancelled = true;
    Completion aborted;
    aborted.status = odf::SS_ABORTED;
    Finish(j, aborted);
  }
  ::SetEvent(f.wake);
  srb.SRB_Status = odf::SS_COMP;
  return odf::SS_COMP;
}

void WriteReports() {
  // Other threads are gone by now; one may have died holding the lock.
  const bool locked = ::TryEnterCriticalSection(&g_lock) != FALSE;
  if (g_fixture != nullptr) {
    const Fixture& f = *g_fixture;
    WriteWholeFile(f.folder + "simstate.txt",
                   f.error.empty() ? f.layer.StateReport() : "simdrives.txt: " + f.error + "\n");
    WriteWholeFile(f.folder + "simtrace.txt", f.layer.TraceReport());
  }
  if (locked) ::LeaveCriticalSection(&g_lock);
}

}  // namespace

extern "C" {

::DWORD __cdecl GetASPI32SupportInfo(void) {
  Locked locked;
  return TheFixture().layer.SupportInfo();
}

::DWORD __cdecl SendASPI32Command(void* block) {
  if (block == nullptr) return odf::sim::kSsInvalidSrb;
  Locked locked;
  Fixture& f = TheFixture();
  auto* bytes = static_cast<std::uint8_t*>(block);
  switch (bytes[0]) {
    case odf::SC_HA_INQUIRY: return f.layer.HaInquiry(*static_cast<SRB_HAInquiry*>(block));
    case odf::SC_EXEC_SCSI_CMD: return Submit(f, *static_cast<SRB_ExecSCSICmd*>(block));
    case odf::SC_ABORT_SRB: return Abort(f, *static_cast<odf::SRB_Abort*>(block));
    default:
      bytes[1] = odf::sim::kSsInvalidCmd;
      return odf::sim::kSsInvalidCmd;
  }
}

BOOL WINAPI DllMain(HINSTANCE instance, ::DWORD reason, void*) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      g_module = instance;
      ::InitializeCriticalSection(&g_lock);
      ::DisableThreadLibraryCalls(instance);
      break;
    case DLL_PROCESS_DETACH:
      WriteReports();
      break;
    default: break;
  }
  return TRUE;
}

}  // extern "C"
