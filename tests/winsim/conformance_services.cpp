// The service control manager's database and handles as Windows gives them:
// argument checks in Windows' order, the error codes for a service that
// exists, does not exist or is marked for deletion, and the answers for
// controls to a service that does not run.
#include "conformance.h"

#include <gtest/gtest.h>
#include <handles/win32.h>

#include <cstring>
#include <vector>

namespace {

const WCHAR kName[] = L"VornConformanceSvc";
const WCHAR kPath[] = L"C:\\VornConformance\\none.exe";

using handles::ServiceHandle;

SC_HANDLE CreateDemandService(SC_HANDLE manager, const WCHAR* name, DWORD access) {
  return CreateServiceW(manager, name, nullptr, access, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                        SERVICE_ERROR_NORMAL, kPath, nullptr, nullptr, L"\0", nullptr, nullptr);
}

// Each test starts and ends without the test service installed.
class ConformanceScm : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_manager) << GetLastError();
    RemoveService();
  }
  void TearDown() override { RemoveService(); }
  void RemoveService() {
    if (const ServiceHandle service{OpenServiceW(Manager(), kName, DELETE)}) DeleteService(service.Get());
  }
  SC_HANDLE Manager() const { return m_manager.Get(); }

 private:
  const ServiceHandle m_manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
};

TEST_F(ConformanceScm, OpenManagerChecksMachineAndDatabase) {
  ArmLastError();
  EXPECT_EQ(OpenSCManagerW(nullptr, L"DoesNotExist", SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
  ArmLastError();
  EXPECT_EQ(OpenSCManagerW(nullptr, SERVICES_FAILED_DATABASEW, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DATABASE_DOES_NOT_EXIST);
  const ServiceHandle empty(OpenSCManagerW(L"", SERVICES_ACTIVE_DATABASEW, 0));
  EXPECT_TRUE(empty);
}

TEST_F(ConformanceScm, CreateChecksArgumentsInOrder) {
  ArmLastError();
  EXPECT_EQ(CreateServiceW(nullptr, nullptr, nullptr, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  ArmLastError();
  EXPECT_EQ(CreateServiceW(Manager(), kName, nullptr, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);

  const ServiceHandle connectOnly(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ArmLastError();
  EXPECT_EQ(CreateDemandService(connectOnly.Get(), kName, 0), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

  ArmLastError();
  EXPECT_EQ(CreateDemandService(Manager(), L"", 0), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
  ArmLastError();
  EXPECT_EQ(CreateServiceW(Manager(), kName, nullptr, 0, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, 0, L"",
                           nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(ConformanceScm, CreateRejectsInvalidKinds) {
  struct Case {
    DWORD type, start;
  } cases[] = {
      {SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS, SERVICE_DEMAND_START},
      {SERVICE_FILE_SYSTEM_DRIVER | SERVICE_INTERACTIVE_PROCESS, SERVICE_DEMAND_START},
      {SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START | SERVICE_DISABLED},
      {SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START},
  };
  for (const auto& c : cases) {
    ArmLastError();
    EXPECT_EQ(CreateServiceW(Manager(), kName, nullptr, 0, c.type, c.start, 0, kPath, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << c.type << " " << c.start;
  }
}

TEST_F(ConformanceScm, SecondCreateFailsWithServiceExists) {
  const ServiceHandle service(CreateDemandService(Manager(), kName, SERVICE_QUERY_STATUS));
  ASSERT_TRUE(service) << GetLastError();
  ArmLastError();
  EXPECT_EQ(CreateDemandService(Manager(), kName, 0), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_EXISTS);
}

TEST_F(ConformanceScm, OpenMissingServiceFails) {
  ArmLastError();
  EXPECT_EQ(OpenServiceW(Manager(), L"VornNoSuchService", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
  ArmLastError();
  EXPECT_EQ(OpenServiceW(Manager(), nullptr, SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);
  ArmLastError();
  EXPECT_EQ(OpenServiceW(nullptr, kName, SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(ConformanceScm, StoppedServiceAnswersControlsAndQueries) {
  const ServiceHandle service(CreateDemandService(Manager(), kName, SERVICE_ALL_ACCESS));
  ASSERT_TRUE(service) << GetLastError();
  SERVICE_STATUS status;
  memset(&status, 0xcc, sizeof(status));
  ASSERT_TRUE(QueryServiceStatus(service.Get(), &status));
  EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
  EXPECT_EQ(status.dwServiceType, (DWORD)SERVICE_WIN32_OWN_PROCESS);

  memset(&status, 0xcc, sizeof(status));
  ArmLastError();
  EXPECT_FALSE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);

  // Shutdown, power and session events come from the system only.
  for (DWORD control : {SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_POWEREVENT, SERVICE_CONTROL_SESSIONCHANGE}) {
    ArmLastError();
    EXPECT_FALSE(ControlService(service.Get(), control, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << control;
  }
}

TEST_F(ConformanceScm, HandleRightsAreChecked) {
  const ServiceHandle created(CreateDemandService(Manager(), kName, 0));
  ASSERT_TRUE(created) << GetLastError();
  SERVICE_STATUS status;
  ArmLastError();
  EXPECT_FALSE(QueryServiceStatus(created.Get(), &status));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  ArmLastError();
  EXPECT_FALSE(ControlService(created.Get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  ArmLastError();
  EXPECT_FALSE(DeleteService(created.Get()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(ConformanceScm, DeletedServiceLingersUntilItsHandlesClose) {
  ServiceHandle created(CreateDemandService(Manager(), kName, DELETE));
  ASSERT_TRUE(created) << GetLastError();
  ServiceHandle other(OpenServiceW(Manager(), kName, SERVICE_QUERY_STATUS));
  ASSERT_TRUE(other);
  ASSERT_TRUE(DeleteService(created.Get()));
  ArmLastError();
  EXPECT_FALSE(DeleteService(created.Get()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
  ArmLastError();
  EXPECT_EQ(CreateDemandService(Manager(), kName, 0), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
  created.Reset();
  other.Reset();
  Sleep(1000);  // Windows removes the key asynchronously once the last handle is gone
  ArmLastError();
  EXPECT_EQ(OpenServiceW(Manager(), kName, SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(ConformanceScmHandles, BadHandlesFailWithInvalidHandle) {
  SERVICE_STATUS status;
  ArmLastError();
  EXPECT_FALSE(CloseServiceHandle(nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  ArmLastError();
  EXPECT_FALSE(QueryServiceStatus(nullptr, &status));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  ArmLastError();
  EXPECT_FALSE(ControlService(nullptr, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  ArmLastError();
  EXPECT_FALSE(DeleteService(nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(ConformanceScmDispatcher, DispatcherFailsOutsideAServiceProcess) {
  static WCHAR name[] = L"VornConformanceSvc";
  SERVICE_TABLE_ENTRYW table[] = {{name, [](DWORD, LPWSTR*) {}}, {nullptr, nullptr}};
  ArmLastError();
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

// The optional configuration: the answer is the record followed by what it
// points to, in the caller's buffer; a null pointer in a change keeps what is
// stored, an empty text removes it.
class ConformanceScmConfig2 : public ConformanceScm {
 protected:
  void SetUp() override {
    ConformanceScm::SetUp();
    m_service.Reset(CreateDemandService(Manager(), kName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(m_service) << GetLastError();
  }
  void TearDown() override {
    m_service.Reset();
    ConformanceScm::TearDown();
  }
  // The whole answer of a level, asked for in two calls as callers do.
  std::vector<BYTE> Query(SC_HANDLE service, DWORD level) {
    DWORD needed = 0;
    if (QueryServiceConfig2W(service, level, nullptr, 0, &needed)) return {};
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(needed + 16, 0xcc);
    EXPECT_TRUE(QueryServiceConfig2W(service, level, buffer.data(), needed, &needed)) << GetLastError();
    EXPECT_EQ(buffer[needed], 0xcc) << "written past the size it asked for";
    return buffer;
  }
  SC_HANDLE Service() const { return m_service.Get(); }

 private:
  ServiceHandle m_service;
};

TEST_F(ConformanceScmConfig2, DescriptionIsStoredAndAnswered) {
  BYTE buffer[512];
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfig2W(Service(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), &needed));
  EXPECT_EQ(needed, (DWORD)sizeof(SERVICE_DESCRIPTIONW));
  EXPECT_EQ(reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer)->lpDescription, nullptr);
  ArmLastError();
  EXPECT_FALSE(QueryServiceConfig2W(Service(), 0xfff0, buffer, sizeof(buffer), &needed));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_LEVEL);
  ArmLastError();
  EXPECT_FALSE(QueryServiceConfig2W(Service(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);

  WCHAR text[] = L"Conformance description";
  SERVICE_DESCRIPTIONW description = {text};
  ASSERT_TRUE(ChangeServiceConfig2W(Service(), SERVICE_CONFIG_DESCRIPTION, &description)) << GetLastError();
  ArmLastError();
  EXPECT_FALSE(QueryServiceConfig2W(Service(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(SERVICE_DESCRIPTIONW),
                                    &needed));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, (DWORD)(sizeof(SERVICE_DESCRIPTIONW) + sizeof(text)));
  auto answer = Query(Service(), SERVICE_CONFIG_DESCRIPTION);
  ASSERT_FALSE(answer.empty());
  EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTIONW*>(answer.data())->lpDescription, text);

  description.lpDescription = nullptr;
  ASSERT_TRUE(ChangeServiceConfig2W(Service(), SERVICE_CONFIG_DESCRIPTION, &description));
  answer = Query(Service(), SERVICE_CONFIG_DESCRIPTION);
  ASSERT_FALSE(answer.empty());
  EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTIONW*>(answer.data())->lpDescription, text);
  WCHAR empty[] = L"";
  description.lpDescription = empty;
  ASSERT_TRUE(ChangeServiceConfig2W(Service(), SERVICE_CONFIG_DESCRIPTION, &description));
  ASSERT_TRUE(QueryServiceConfig2W(Service(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), &needed));
  EXPECT_EQ(reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer)->lpDescription, nullptr);
}

TEST_F(ConformanceScmConfig2, RightsAreChecked) {
  const ServiceHandle queryOnly(OpenServiceW(Manager(), kName, SERVICE_QUERY_STATUS));
  ASSERT_TRUE(queryOnly);
  WCHAR text[] = L"Conformance description";
  SERVICE_DESCRIPTIONW description = {text};
  ArmLastError();
  EXPECT_FALSE(ChangeServiceConfig2W(queryOnly.Get(), SERVICE_CONFIG_DESCRIPTION, &description));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  BYTE buffer[512];
  DWORD needed = 0;
  ArmLastError();
  EXPECT_FALSE(QueryServiceConfig2W(queryOnly.Get(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), &needed));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  ArmLastError();
  EXPECT_FALSE(ChangeServiceConfig2W(nullptr, SERVICE_CONFIG_DESCRIPTION, &description));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(ConformanceScmConfig2, FailureActionsAreStoredAndAnswered) {
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSW failure = {86400, nullptr, nullptr, 3, actions};
  // A restart needs the right to start the service.
  const ServiceHandle changeOnly(OpenServiceW(Manager(), kName, SERVICE_CHANGE_CONFIG));
  ASSERT_TRUE(changeOnly);
  ArmLastError();
  EXPECT_FALSE(ChangeServiceConfig2W(changeOnly.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

  ASSERT_TRUE(ChangeServiceConfig2W(Service(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) << GetLastError();
  // Without an action list the stored actions and reset period stay.
  SERVICE_FAILURE_ACTIONSW keep = {1, nullptr, nullptr, 0, nullptr};
  ASSERT_TRUE(ChangeServiceConfig2W(Service(), SERVICE_CONFIG_FAILURE_ACTIONS, &keep));
  auto answer = Query(Service(), SERVICE_CONFIG_FAILURE_ACTIONS);
  ASSERT_GE(answer.size(), sizeof(SERVICE_FAILURE_ACTIONSW));
  const auto* stored = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(answer.data());
  EXPECT_EQ(stored->dwResetPeriod, 86400u);
  EXPECT_EQ(stored->lpRebootMsg, nullptr);
  EXPECT_EQ(stored->lpCommand, nullptr);
  ASSERT_EQ(stored->cActions, 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(stored->lpsaActions[i].Type, actions[i].Type) << i;
    EXPECT_EQ(stored->lpsaActions[i].Delay, actions[i].Delay) << i;
  }
}

// An event source needs no registration of its own: the entry is written
// to the Application log with its insertion strings.
TEST(ConformanceEventLog, SourceReportsAndDeregisters) {
  HANDLE source = RegisterEventSourceW(nullptr, L"VornConformanceSvc");
  ASSERT_NE(source, nullptr) << GetLastError();
  LPCWSTR strings[] = {L"VornConformanceSvc", L"conformance entry"};
  EXPECT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));
}

}  // namespace
