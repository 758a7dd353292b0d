// The simulated PC: one implementation of the platform interface, with a
// virtual clock, scripted message boxes, a virtual registry, virtual files,
// volumes and an ASPI layer backed by simulated drives. No real time passes
// and nothing outside the process is touched (unless a host directory is
// named for file reads).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/layouts.h"
#include "sim/drives/sim_drive.h"

namespace odf::sim {

struct BoxRecord {
  std::string text;
  std::string caption;
  UINT type = 0;
  int answer = 0;
};

struct VolumeOptions {
  bool openFails = false;        // CreateFileA fails (ERROR_ACCESS_DENIED)
  bool noAddress = false;        // IOCTL_SCSI_GET_ADDRESS fails with ERROR_NOT_SUPPORTED
  bool addressFails = false;     // IOCTL_SCSI_GET_ADDRESS fails with ERROR_GEN_FAILURE
  bool lockedElsewhere = false;  // another process updates it: every LockFileEx fails
  // Another process probes it: it holds a shared lock until the virtual
  // clock reaches this time, so an exclusive LockFileEx fails until then.
  std::uint64_t sharedElsewhereUntilMs = 0;
  std::uint8_t portNumber = 1, pathId = 0, targetId = 0, lun = 0;
};

// How the ASPI layer answers a request to abort a command (SC_ABORT_SRB).
enum class AspiAbort {
  Honour,  // the command ends with SS_ABORTED and the layer lets its block go
  Refuse,  // SS_ABORT_FAIL: the command runs on
  Ignore,  // takes the request (SS_COMP) but lets the command run on
};

// One SetThreadExecutionState call as received.
struct ExecutionStateRecord {
  EXECUTION_STATE flags = 0;
  std::uint64_t atMs = 0;
};

// One IOCTL_STORAGE_MCN_CONTROL call as received.
struct McnRecord {
  char driveLetter = 0;
  std::uint8_t flag = 0;
  std::uint64_t atMs = 0;
};

class SimPc : public Platform {
 public:
  SimPc();
  ~SimPc() override;

  // ---- configuration -----------------------------------------------------
  void SetWindowsVersion(DWORD platformId, DWORD major, DWORD minor);  // default XP (2, 5, 1)
  void SetOemCodePage(UINT codePage) { oemCodePage_ = codePage; }
  void SetPassThroughLayout(const PassThroughLayout& layout) { layout_ = &layout; }

  // Answers for question boxes (OK/Cancel and Yes/No), in order. Notice boxes
  // (a single OK button) are answered IDOK without taking an answer. When the
  // queue is empty the answerer decides; without one a question gets IDNO.
  void QueueAnswers(std::initializer_list<int> answers);
  void QueueAnswer(int answer) { answers_.push_back(answer); }
  std::function<int(const BoxRecord&)> answerer;
  const std::vector<BoxRecord>& Boxes() const { return boxes_; }

  // Console bytes, captured exactly; consoleSink also sees each write.
  const std::string& Console() const { return console_; }
  void ClearConsole() { console_.clear(); }
  std::function<void(const std::string&)> consoleSink;
  std::function<void(const BoxRecord&)> boxSink;

  // Virtual clock in milliseconds.
  std::uint64_t NowMs() const { return now_; }
  // Moves the clock on, completing the ASPI commands that fall due meanwhile.
  void Advance(std::uint64_t ms);
  // timeBeginPeriod refuses periods below this one (default 1 ms).
  void SetMinTimerPeriod(UINT period);
  // Granted timeBeginPeriod calls minus timeEndPeriod calls.
  int TimerPeriodBalance() const;

  // Registry: keys are created with their parents; paths use backslashes.
  void AddRegistryKey(HKEY root, const std::string& path);
  void SetRegistryValue(HKEY root, const std::string& path, const std::string& name,
                        const std::vector<std::uint8_t>& data, DWORD type = REG_BINARY);
  // Make a registry call fail: the given function name ("RegQueryInfoKeyA",
  // "RegEnumKeyExA", "RegQueryValueExA", "RegOpenKeyExA") on keys whose path
  // begins with pathPrefix, with the given error.
  void FailRegistryCall(const std::string& function, const std::string& pathPrefix, LONG error);
  int OpenRegistryKeys() const;  // keys opened and not yet closed

  // Memory: the n-th GlobalAlloc call (1-based) is refused.
  void RefuseAllocation(int nth) { refuseAllocation_ = nth; }
  int LiveAllocations() const;
  int AllocationCalls() const { return allocationCalls_; }

  // Files in the current directory of the simulated PC. When a host directory
  // is set, names not found among the virtual files are read from there.
  void AddFile(const std::string& name, const std::vector<std::uint8_t>& bytes);
  // The same without a copy, for bytes many PCs share.
  void AddFile(const std::string& name, std::shared_ptr<const std::vector<std::uint8_t>> bytes);
  void SetHostDirectory(const std::string& dir) { hostDirectory_ = dir; }

  // Volumes on the pass-through route: a drive letter backed by a drive, or
  // by nothing (drive == nullptr: opens, but answers no SCSI command).
  void AddVolume(char letter, std::shared_ptr<SimDrive> drive, VolumeOptions options = {});
  const std::vector<McnRecord>& McnLog() const { return mcnLog_; }
  // True while a handle of this PC holds a lock on the volume (exclusive
  // only: only an exclusive one).
  bool VolumeLocked(char letter, bool exclusiveOnly = false) const;
  // Another process takes (or lets go of) the volume's exclusive lock now.
  void SetLockedElsewhere(char letter, bool locked);
  // Another process holds a shared lock on the volume until the virtual
  // clock reaches this time.
  void SetSharedElsewhereUntil(char letter, std::uint64_t ms);
  int OpenHandles() const;  // handles not yet closed (volumes, files, events)

  // The ASPI layer. InstallAspi makes LoadLibraryA("WNASPI32.DLL") succeed.
  void InstallAspi() { aspiInstalled_ = true; }
  // Replaces the GetASPI32SupportInfo answer (e.g. 0xE400, 0xE800).
  void SetAspiSupportInfo(DWORD value) { supportInfoOverride_ = value; hasSupportInfoOverride_ = true; }
  int AddAdapter(const std::string& identifier);  // up to 16 bytes, zero-padded; returns its number
  void AttachAspiDrive(int adapter, int target, std::shared_ptr<SimDrive> drive);
  int SupportInfoCalls() const { return supportInfoCalls_; }
  void SetAspiAbort(AspiAbort answer) { aspiAbort_ = answer; }
  // SC_ABORT_SRB requests received.
  int AbortRequests() const { return abortRequests_; }

  // ---- the platform interface -------------------------------------------
  void WriteConsole(const std::string& bytes) override;
  UINT GetOEMCP() override { return oemCodePage_; }
  int MessageBoxA(HANDLE owner, const char* text, const char* caption, UINT type) override;
  BOOL GetVersionExA(OSVERSIONINFOA* info) override;
  LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD samDesired,
                     HKEY* result) override;
  LONG RegQueryInfoKeyA(HKEY key, DWORD* subKeys) override;
  LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength) override;
  LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* type, BYTE* data,
                        DWORD* dataLength) override;
  LONG RegCloseKey(HKEY key) override;
  HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes) override;
  void* GlobalLock(HGLOBAL mem) override;
  BOOL GlobalUnlock(HGLOBAL mem) override;
  HGLOBAL GlobalFree(HGLOBAL mem) override;
  HANDLE CreateFileA(const char* path, DWORD desiredAccess, DWORD shareMode,
                     DWORD creationDisposition, DWORD flagsAndAttributes) override;
  DWORD GetFileAttributesA(const char* path) override;
  BOOL DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize,
                       void* outBuffer, DWORD outSize, DWORD* bytesReturned) override;
  BOOL CloseHandle(HANDLE handle) override;
  BOOL LockFileEx(HANDLE file, DWORD flags) override;
  DWORD GetLastError() override { return lastError_; }
  DWORD GetFileSize(HANDLE file, DWORD* sizeHigh) override;
  BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* bytesRead) override;
  int ReadTextLine(HANDLE file, std::string& line) override;
  HMODULE LoadLibraryA(const char* name) override;
  FARPROC GetProcAddressOrdinal(HMODULE module, WORD ordinal) override;
  DWORD CallGetASPI32SupportInfo(FARPROC entry) override;
  DWORD CallSendASPI32Command(FARPROC entry, void* srb) override;
  HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  void Sleep(DWORD milliseconds) override;
  UINT timeBeginPeriod(UINT period) override;
  UINT timeEndPeriod(UINT period) override;
  DWORD timeGetTime() override;
  std::int64_t time() override;
  void srand(unsigned seed) override;
  int rand() override;

  EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) override;
  // Every call in order; the sink sees each as it comes, so a test can set
  // it beside the commands the drives have seen by then.
  const std::vector<ExecutionStateRecord>& ExecutionStates() const { return executionStates_; }
  std::function<void(const ExecutionStateRecord&)> executionStateSink;
  // The state the last call left (ES_CONTINUOUS before any).
  EXECUTION_STATE ExecutionState() const { return executionState_; }

  BOOL SetConsoleCtrlHandler(BOOL add) override;
  int GetInterruption() override { return interruption_; }

  // ---- interruptions -------------------------------------------------------
  // A signal (or Ctrl-C) arriving now. With the program's handler in, the
  // first one is recorded and one line goes to StandardError(); without it
  // the process would end here, which EndedBy() then reports.
  void Interrupt(int signal);
  bool HandlerIn() const { return handlerIn_; }
  int EndedBy() const { return endedBy_; }
  const std::string& StandardError() const { return standardError_; }

  // Resolves a pointer written into a 32-bit pass-through block (low 32 bits
  // only) against the buffers this PC handed out or that were registered.
  void RegisterMemory(void* base, std::size_t size);
  void UnregisterMemory(void* base);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  // Simple members kept inline for the hot accessors.
  std::string console_;
  std::vector<BoxRecord> boxes_;
  std::deque<int> answers_;
  std::uint64_t now_ = 0;
  UINT oemCodePage_ = 437;
  const PassThroughLayout* layout_ = &NativePassThroughLayout();
  DWORD lastError_ = 0;
  int refuseAllocation_ = 0;
  int allocationCalls_ = 0;
  std::string hostDirectory_;
  std::vector<McnRecord> mcnLog_;
  std::vector<ExecutionStateRecord> executionStates_;
  EXECUTION_STATE executionState_ = ES_CONTINUOUS;
  bool aspiInstalled_ = false;
  DWORD supportInfoOverride_ = 0;
  bool hasSupportInfoOverride_ = false;
  int supportInfoCalls_ = 0;
  AspiAbort aspiAbort_ = AspiAbort::Honour;
  int abortRequests_ = 0;
  bool handlerIn_ = false;
  int interruption_ = 0;
  int endedBy_ = 0;
  std::string standardError_;
};

}  // namespace odf::sim
