// The fixed identity of every log line of this library.
//
// Log readers, and the tools that filter and count the log, know each of
// these messages by its source-file literal, its function and its line
// number, not by where the call stands in our code: they are part of the log
// format, shared with the other binaries that write into the same logs. So
// every value here is fixed. A message keeps its number when the code moves;
// a new message takes a new number; none is ever reused for another text.
#pragma once

namespace checkrvq {

// The source-file literal of every log line of this library.
constexpr const wchar_t* kLogSourceFile = L"detection.cpp";

// The line numbers, one per message text, grouped by entry point.
namespace log_line {

// DetectIncompatible
constexpr int kDetectionCount = 738;        // "MakeIncompatibleDetection detections=%d"
constexpr int kProductDetected = 757;       // "%s detected"
constexpr int kUninstallerNotLoaded = 850;  // "Unable to load Uninst.dll [%s]"
constexpr int kDetectionDirectoryNotSaved = 852;
constexpr int kDetectionFolderNotEntered = 853;
constexpr int kDetectionDirectoryNotRestored = 854;
constexpr int kCommandNotConverted = 855;
constexpr int kProductNameNotConverted = 856;
constexpr int kUninstallerEntryMissing = 857;
constexpr int kProductListNotAllocated = 858;
constexpr int kUninstallerReportedFailure = 859;

// UninstallIncompatible
constexpr int kRemovalStart = 104;
constexpr int kNoModuleHandle = 140;
constexpr int kRemovalDone = 198;
constexpr int kRemovalDirectoryNotSaved = 150;
constexpr int kRemovalFolderNotEntered = 151;
constexpr int kRemovalDirectoryNotRestored = 152;
constexpr int kCleanerNotStarted = 153;
constexpr int kCleanerWaitFailed = 154;

// PreInstall
constexpr int kPreInstallStart = 204;
constexpr int kCanBeInstalled = 218;
constexpr int kDataFileNotMoved = 226;  // a link on the way
constexpr int kDataPathTooLong = 228;  // a path of the migration that does not fit its buffer
constexpr int kDataPlaceNotTrusted = 230;    // an owner other than the system's or the installer's
constexpr int kDataFolderNotProtected = 232;  // a target level not created or not taken back
constexpr int kDataFileAccessNotReset = 234;
constexpr int kDataFolderUnknown = 236;  // the shell could not name a folder
constexpr int kDataFileMoveFailed = 238;
constexpr int kMovingFirstDataFile = 240;
constexpr int kMovingSecondDataFile = 252;
constexpr int kPreInstallDone = 256;

// PostInstall
constexpr int kPostInstallStart = 262;
constexpr int kNeedsReboot = 277;
constexpr int kPostInstallDone = 278;

// DllInstallFunction: a step that failed with an exception
constexpr int kOldServiceRemovalFailed = 301;
constexpr int kRecordingFailed = 302;
constexpr int kLocaleSchedulingFailed = 303;

// DllInstallFunction: a failed system call (result in the line)
constexpr int kRecordKeyNotOpened = 310;
constexpr int kRecordValueNotWritten = 311;
constexpr int kInstallDirNotRead = 312;
constexpr int kLocaleSearchFailed = 313;
constexpr int kLocaleFileNotScheduled = 314;

// DllInstallFunction: the old service
constexpr int kServiceManagerNotOpened = 905;
constexpr int kServiceNotOpened = 913;
constexpr int kServiceStatusNotQueried = 929;
constexpr int kServiceNotStopped = 939;
constexpr int kServiceNotDeleted = 945;

// DllUninstallFunction
constexpr int kShellFoldersNotOpened = 562;
constexpr int kLocalAppDataNotRead = 571;
constexpr int kLocalAppDataWithoutBackslash = 580;
constexpr int kProfileListNotOpened = 591;
constexpr int kProfileNotEnumerated = 593;
constexpr int kProfileNotRead = 612;  // a profile's key or folder value that cannot be read
constexpr int kProfilePathTooLong = 624;
constexpr int kProfilePathLinked = 626;  // a link, or a path outside the profile
constexpr int kProfilePathUnchecked = 628;
constexpr int kProfileCleanupFailed = 632;
constexpr int kVaultFileRemoved = 639;
constexpr int kVaultFileNotRemoved = 643;
constexpr int kVaultFileHasLinks = 645;
constexpr int kProductFolderRemoved = 647;
constexpr int kProductFolderNotRemoved = 651;
constexpr int kMakerFolderRemoved = 657;
constexpr int kMakerFolderNotRemoved = 661;
constexpr int kProductFolderMissing = 666;
constexpr int kUninstallStart = 676;

}  // namespace log_line
}  // namespace checkrvq
