// The standard-user task's definition, checked call by call through recording stand-ins
// for the scheduler's interfaces (Wine's own service refuses parts of it; see TsFileTest).
#include <gtest/gtest.h>

#include "FakeTaskScheduler.h"
#include "Strings/TsFile.h"

namespace {

const std::vector<std::string> kFullDefinition = {
    "TaskService.Connect empty empty empty empty",
    "TaskService.GetFolder \\",
    "TaskFolder.DeleteTask Run Tessaly Process 0",
    "TaskService.NewTask 0",
    "TaskDefinition.get_RegistrationInfo",
    "RegistrationInfo.put_Author Tessaly_RunAsStdUser",
    "TaskDefinition.get_Principal",
    "Principal.put_Id Tessaly_RunAsStdUser_Principal",
    "Principal.put_LogonType 3",
    "Principal.put_RunLevel 0",
    "TaskDefinition.get_Settings",
    "TaskSettings.put_StartWhenAvailable true",
    "TaskSettings.put_AllowHardTerminate false",
    "TaskSettings.put_DisallowStartIfOnBatteries false",
    "TaskSettings.put_StopIfGoingOnBatteries false",
    "TaskSettings.put_ExecutionTimeLimit PT0S",
    "TaskSettings.get_IdleSettings",
    "IdleSettings.put_StopOnIdleEnd false",
    "TaskDefinition.get_Triggers",
    "TriggerCollection.Create 7",
    "Trigger.put_Id Tessaly_RunAsStdUser_Trigger",
    "TaskDefinition.get_Actions",
    "ActionCollection.Create 0",
    "ExecAction.put_Path C:\\Host\\TessTaskBarIcon.exe",
    "ExecAction.put_WorkingDirectory C:\\Host",
    "ExecAction.put_Arguments -tray",
    "TaskFolder.RegisterTaskDefinition Run Tessaly Process object 6 empty empty 3 ''",
};

bool Register(const char* pszArgs, const char* pszFolder)
{
    FakeLog().calls.clear();
    auto* pService = new CFakeTaskService;
    bool bOk = RegisterRunAsStdUserTask(pService, kTsRunAsStdUserTaskName, "C:\\Host\\TessTaskBarIcon.exe", pszArgs,
                                        pszFolder);
    pService->Release();
    return bOk;
}

}  // namespace

TEST(RunAsStdUserTask, DefinitionIsBuiltInOrder)
{
    FakeLog().sFailAt.clear();
    EXPECT_TRUE(Register("-tray", "C:\\Host"));
    EXPECT_EQ(kFullDefinition, FakeLog().calls);
    EXPECT_EQ(0, FakeLog().nLive);

    // Without a folder and arguments the action has only its path.
    EXPECT_TRUE(Register("", nullptr));
    std::vector<std::string> expected = kFullDefinition;
    expected.erase(expected.begin() + 24, expected.begin() + 26);
    EXPECT_EQ(expected, FakeLog().calls);
    EXPECT_EQ(0, FakeLog().nLive);
    EXPECT_FALSE(RegisterRunAsStdUserTask(nullptr, "x", "y", nullptr, nullptr));
}

TEST(RunAsStdUserTask, AnyFailingStepReleasesEverything)
{
    for (size_t nStep = 0; nStep < kFullDefinition.size(); ++nStep) {
        const std::string& sStep = kFullDefinition[nStep];
        SCOPED_TRACE(sStep);
        FakeLog().sFailAt = sStep;
        bool bOk = Register("-tray", "C:\\Host");
        EXPECT_EQ(0, FakeLog().nLive);
        if (sStep.rfind("TaskFolder.DeleteTask", 0) == 0) {
            // No earlier task to delete is no failure.
            EXPECT_TRUE(bOk);
            EXPECT_EQ(kFullDefinition, FakeLog().calls);
        } else {
            EXPECT_FALSE(bOk);
            std::vector<std::string> upToFailure(kFullDefinition.begin(), kFullDefinition.begin() + nStep + 1);
            EXPECT_EQ(upToFailure, FakeLog().calls);
        }
    }
    FakeLog().sFailAt.clear();
}
