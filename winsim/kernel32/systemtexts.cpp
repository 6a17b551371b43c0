// The system's English (United States) message texts for the error codes
// that winerror.h declares, worded as Windows words them, each with its
// trailing line break.
#include "systemtexts.h"

#include <algorithm>
#include <iterator>

namespace winsim::messages {

namespace {
struct Entry {
  DWORD code;
  const wchar_t* text;
};

// Sorted by code.
constexpr Entry kSystemTexts[] = {
    {0, L"The operation completed successfully.\r\n"},
    {1, L"Incorrect function.\r\n"},
    {2, L"The system cannot find the file specified.\r\n"},
    {3, L"The system cannot find the path specified.\r\n"},
    {4, L"The system cannot open the file.\r\n"},
    {5, L"Access is denied.\r\n"},
    {6, L"The handle is invalid.\r\n"},
    {8, L"Not enough storage is available to process this command.\r\n"},
    {11, L"An attempt was made to load a program with an incorrect format.\r\n"},
    {12, L"The access code is invalid.\r\n"},
    {13, L"The data is invalid.\r\n"},
    {14, L"Not enough storage is available to complete this operation.\r\n"},
    {15, L"The system cannot find the drive specified.\r\n"},
    {18, L"There are no more files.\r\n"},
    {19, L"The media is write protected.\r\n"},
    {21, L"The device is not ready.\r\n"},
    {22, L"The device does not recognize the command.\r\n"},
    {23, L"Data error (cyclic redundancy check).\r\n"},
    {24, L"The program issued a command but the command length is incorrect.\r\n"},
    {29, L"The system cannot write to the specified device.\r\n"},
    {30, L"The system cannot read from the specified device.\r\n"},
    {31, L"A device attached to the system is not functioning.\r\n"},
    {32, L"The process cannot access the file because it is being used by another process.\r\n"},
    {33, L"The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {38, L"Reached the end of the file.\r\n"},
    {50, L"The request is not supported.\r\n"},
    {52,
     L"You were not connected because a duplicate name exists on the network. If joining a domain, go "
     L"to System in Control Panel to change the computer name and try again. If joining a workgroup, "
     L"choose another workgroup name.\r\n"},
    {53, L"The network path was not found.\r\n"},
    {80, L"The file exists.\r\n"},
    {87, L"The parameter is incorrect.\r\n"},
    {109, L"The pipe has been ended.\r\n"},
    {111, L"The file name is too long.\r\n"},
    {112, L"There is not enough space on the disk.\r\n"},
    {120, L"This function is not supported on this system.\r\n"},
    {121, L"The semaphore timeout period has expired.\r\n"},
    {122, L"The data area passed to a system call is too small.\r\n"},
    {123, L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {124, L"The system call level is not correct.\r\n"},
    {126, L"The specified module could not be found.\r\n"},
    {127, L"The specified procedure could not be found.\r\n"},
    {131, L"An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, L"The directory is not empty.\r\n"},
    {161, L"The specified path is invalid.\r\n"},
    {170, L"The requested resource is in use.\r\n"},
    {183, L"Cannot create a file when that file already exists.\r\n"},
    {203, L"The system could not find the environment option that was entered.\r\n"},
    {206, L"The filename or extension is too long.\r\n"},
    {234, L"More data is available.\r\n"},
    {258, L"The wait operation timed out.\r\n"},
    {259, L"No more data is available.\r\n"},
    {267, L"The directory name is invalid.\r\n"},
    {288, L"Attempt to release mutex not owned by caller.\r\n"},
    {298, L"Too many posts were made to a semaphore.\r\n"},
    {317, L"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {487, L"Attempt to access invalid address.\r\n"},
    {735, L"ERROR_ABANDONED_WAIT_0\r\n"},
    {995, L"The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, L"Overlapped I/O event is not in a signaled state.\r\n"},
    {997, L"Overlapped I/O operation is in progress.\r\n"},
    {998, L"Invalid access to memory location.\r\n"},
    {1004, L"Invalid flags.\r\n"},
    {1008, L"An attempt was made to reference a token that does not exist.\r\n"},
    {1010, L"The configuration registry key is invalid.\r\n"},
    {1011, L"The configuration registry key could not be opened.\r\n"},
    {1012, L"The configuration registry key could not be read.\r\n"},
    {1013, L"The configuration registry key could not be written.\r\n"},
    {1015,
     L"The registry is corrupted. The structure of one of the files containing registry data is "
     L"corrupted, or the system's memory image of the file is corrupted, or the file could not be "
     L"recovered because the alternate copy or log was absent or corrupted.\r\n"},
    {1016,
     L"An I/O operation initiated by the registry failed unrecoverably. The registry could not read "
     L"in, or write out, or flush, one of the files that contain the system's image of the registry.\r\n"},
    {1018, L"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1052, L"The requested control is not valid for this service.\r\n"},
    {1053, L"The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1054, L"A thread could not be created for the service.\r\n"},
    {1055, L"The service database is locked.\r\n"},
    {1056, L"An instance of the service is already running.\r\n"},
    {1057,
     L"The account name is invalid or does not exist, or the password is invalid for the account name "
     L"specified.\r\n"},
    {1058,
     L"The service cannot be started, either because it is disabled or because it has no enabled "
     L"devices associated with it.\r\n"},
    {1060, L"The specified service does not exist as an installed service.\r\n"},
    {1061, L"The service cannot accept control messages at this time.\r\n"},
    {1062, L"The service has not been started.\r\n"},
    {1063, L"The service process could not connect to the service controller.\r\n"},
    {1064, L"An exception occurred in the service when handling the control request.\r\n"},
    {1065, L"The database specified does not exist.\r\n"},
    {1066, L"The service has returned a service-specific error code.\r\n"},
    {1067, L"The process terminated unexpectedly.\r\n"},
    {1072, L"The specified service has been marked for deletion.\r\n"},
    {1073, L"The specified service already exists.\r\n"},
    {1077, L"No attempts to start the service have been made since the last boot.\r\n"},
    {1078, L"The name is already in use as either a service name or a service display name.\r\n"},
    {1083, L"The executable program that this service is configured to run in does not implement the service.\r\n"},
    {1113, L"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1115, L"A system shutdown is in progress.\r\n"},
    {1167, L"The device is not connected.\r\n"},
    {1168, L"Element not found.\r\n"},
    {1307, L"This security ID may not be assigned as the owner of this object.\r\n"},
    {1313, L"A specified privilege does not exist.\r\n"},
    {1314, L"A required privilege is not held by the client.\r\n"},
    {1317, L"The specified account does not exist.\r\n"},
    {1332, L"No mapping between account names and security IDs was done.\r\n"},
    {1337, L"The security ID structure is invalid.\r\n"},
    {1347, L"Cannot open an anonymous level security token.\r\n"},
    {1349, L"The type of the token is inappropriate for its attempted use.\r\n"},
    {1400, L"Invalid window handle.\r\n"},
    {1450, L"Insufficient system resources exist to complete the requested service.\r\n"},
    {1460, L"This operation returned because the timeout period expired.\r\n"},
    {1784, L"The supplied user buffer is not valid for the requested operation.\r\n"},
    {1812, L"The specified image file did not contain a resource section.\r\n"},
    {1813, L"The specified resource type cannot be found in the image file.\r\n"},
    {1814, L"The specified resource name cannot be found in the image file.\r\n"},
    {1815, L"The specified resource language ID cannot be found in the image file.\r\n"},
    {1921, L"The name of the file cannot be resolved by the system.\r\n"},
};
}  // namespace

const wchar_t* SystemText(DWORD code) {
  auto it = std::lower_bound(std::begin(kSystemTexts), std::end(kSystemTexts), code,
                             [](const Entry& entry, DWORD wanted) { return entry.code < wanted; });
  return it != std::end(kSystemTexts) && it->code == code ? it->text : nullptr;
}

}  // namespace winsim::messages
