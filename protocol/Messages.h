// Status-line texts, exactly as the user sees them.
#pragma once

namespace msg {
constexpr const char* kWelcome = "WZB File Download Manager.";
constexpr const char* kWaiting = "Waiting For Request. Reset SetTop Box.";
constexpr const char* kDownloading = "Downloading Processing..";
constexpr const char* kCompleted = "Completely Transfered!";
constexpr const char* kFileOpenError = "Error : File open error.";
constexpr const char* kSizeOver = "Error : File size is over.";
constexpr const char* kReadingFail = "Error : Reading is fail.";
constexpr const char* kExternalError = "External Error Occurred!";
constexpr const char* kSelectFile = "Please Select File !";
constexpr const char* kInitFailed = "Initializing Failed!";
constexpr const char* kNotSupported = "Error : Not Supported file.";
// Not in the original tool: the port vanished under a running transfer.
constexpr const char* kPortLost = "Error : Serial port lost.";
}  // namespace msg

// Process exit codes shared by the front ends.
enum ExitCode {
    kExitOk = 0,        // "Completely Transfered!"
    kExitFailure = 1,   // anything else unexpected
    kExitUsage = 2,     // bad command line
    kExitFile = 3,      // file missing or unreadable
    kExitPort = 4,      // port cannot be opened or configured
    kExitTransfer = 5,  // block error, read error, port lost mid-transfer
    kExitTimeout = 6,   // box fell silent (watchdog) or transfer stopped
    kExitInterrupted = 130,  // the user or a signal ended the run
};
