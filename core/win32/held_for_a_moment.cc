// Windows 7 or later (GetTickCount64); a file refused to this program by another that holds it, on one thread.
#include "held_for_a_moment.h"

namespace {

constexpr ULONGLONG RetryMilliseconds = 2000;
constexpr DWORD PauseMilliseconds = 100;

}  // namespace

bool MeansHeldForAMoment(DWORD error, DWORD target_attributes) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  return target_attributes != INVALID_FILE_ATTRIBUTES &&
         (target_attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

RetryWhileHeld::RetryWhileHeld() : deadline_(GetTickCount64() + RetryMilliseconds) {}

bool RetryWhileHeld::Again(DWORD error, DWORD target_attributes) const {
  if (!MeansHeldForAMoment(error, target_attributes) || GetTickCount64() >= deadline_) return false;
  Sleep(PauseMilliseconds);
  return true;
}
