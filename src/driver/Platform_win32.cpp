#include <objbase.h>
#include <share.h>
#include <windows.h>

#include <stdexcept>

#include "driver/Platform.h"

namespace orvella::platform {

const char kPathSeparator = '\\';

void LocalTime(const std::time_t& when, std::tm& out) {
  localtime_s(&out, &when);
}

// Text mode: every "\n" reaches the disk as CR LF. _SH_DENYNO: no sharing restriction.
std::FILE* OpenForAppend(const std::string& path) {
  return _fsopen(path.c_str(), "at", _SH_DENYNO);
}

// A pinned module stays loaded until the process ends, whatever FreeLibrary
// calls the host makes; a worker still running can never execute freed code.
void PinLibrary() {
  static bool pinned = false;
  if (pinned) return;
  HMODULE self = nullptr;
  pinned = GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCSTR>(&PinLibrary), &self) != 0;
}

std::string BesideDriver(const std::string& file) {
  HMODULE self = nullptr;
  char path[MAX_PATH];
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&BesideDriver), &self) ||
      GetModuleFileNameA(self, path, sizeof path) == 0)
    throw std::runtime_error("cannot find the driver's own directory");
  std::string dir = path;
  return dir.substr(0, dir.find_last_of("\\/") + 1) + file;
}

namespace {

// What a fiber-local slot holds: Windows calls the slot's callback with it
// as its thread ends (standard calling convention, hence the record).
struct EndRecord {
  void (*end)(void*);
  void* value;
};

void WINAPI EndOfThread(void* record) {
  if (!record) return;
  EndRecord* r = static_cast<EndRecord*>(record);
  if (r->value) r->end(r->value);
  delete r;
}

}  // namespace

// Fiber-local storage: its callbacks run at every thread's end, a host's
// own threads included, under Wine too.
ThreadEnd::ThreadEnd(void (*endFunction)(void*)) : end(endFunction) {
  PinLibrary();  // the callback runs at threads' ends, also after the host unloads us
  DWORD index = FlsAlloc(&EndOfThread);
  if (index == FLS_OUT_OF_INDEXES) throw std::runtime_error("no fiber-local slot left");
  key = index;
}

void ThreadEnd::Set(void* value) {
  EndRecord* record = static_cast<EndRecord*>(FlsGetValue(DWORD(key)));
  if (!record) {
    record = new EndRecord{end, nullptr};
    FlsSetValue(DWORD(key), record);
  }
  record->value = value;
}

uint64_t FileTimeNow() {
  FILETIME now{};
  CoFileTimeNow(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace orvella::platform
