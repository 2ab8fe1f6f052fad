#pragma once
// A recording stand-in for the Task Scheduler 2.0 interfaces: every call is written to a
// log as "Interface.method arguments", objects made on request are fakes too, live objects
// are counted, and a call that starts with FakeLog().sFailAt fails with E_FAIL.
// The method lists follow the system's taskschd.h; calls that the code under test should
// never make answer E_NOTIMPL and are logged as "unexpected ...".
#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

struct CFakeTaskLog {
    std::vector<std::string> calls;
    std::string sFailAt;
    int nLive = 0;
};

inline CFakeTaskLog& FakeLog()
{
    static CFakeTaskLog log;
    return log;
}

template <class I> class CFakeObject : public I {
public:
    CFakeObject() { ++FakeLog().nLive; }
    virtual ~CFakeObject() { --FakeLog().nLive; }
    CFakeObject(const CFakeObject&) = delete;
    CFakeObject& operator=(const CFakeObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        bool bAction = std::is_base_of<IAction, I>::value && riid == __uuidof(IAction);
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == __uuidof(I) || bAction) {
            *ppv = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_nRefs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG n = --m_nRefs;
        if (n == 0)
            delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }

protected:
    static HRESULT Call(const char* pszKey, std::initializer_list<std::string> args)
    {
        std::string s = pszKey;
        for (const std::string& a : args)
            s += " " + a;
        FakeLog().calls.push_back(s);
        const std::string& sFail = FakeLog().sFailAt;
        return !sFail.empty() && s.compare(0, sFail.size(), sFail) == 0 ? E_FAIL : S_OK;
    }
    static HRESULT Unexpected(const char* pszKey)
    {
        FakeLog().calls.push_back(std::string("unexpected ") + pszKey);
        return E_NOTIMPL;
    }
    template <class C, class T> static HRESULT Make(HRESULT hr, T** pp)
    {
        *pp = SUCCEEDED(hr) ? new C : nullptr;
        return hr;
    }
    static std::string Text(BSTR b)
    {
        std::string s;
        for (const wchar_t* p = b; p && *p; ++p)
            s += static_cast<char>(*p);
        return s;
    }
    static std::string Text(const VARIANT& v)
    {
        if (v.vt == VT_EMPTY)
            return "empty";
        return v.vt == VT_BSTR ? "'" + Text(v.bstrVal) + "'" : "vt" + std::to_string(v.vt);
    }
    static std::string Bool(VARIANT_BOOL b) { return b ? "true" : "false"; }
    static std::string Number(long n) { return std::to_string(n); }

private:
    ULONG m_nRefs = 1;
};

class CFakeRegisteredTask : public CFakeObject<IRegisteredTask> {
public:
    HRESULT STDMETHODCALLTYPE get_Name(BSTR*) override { return Unexpected("RegisteredTask.get_Name"); }
    HRESULT STDMETHODCALLTYPE get_Path(BSTR*) override { return Unexpected("RegisteredTask.get_Path"); }
    HRESULT STDMETHODCALLTYPE get_State(TASK_STATE*) override { return Unexpected("RegisteredTask.get_State"); }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return Unexpected("RegisteredTask.get_Enabled"); }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) override
    { return Call("RegisteredTask.put_Enabled", {Bool(enabled)}); }
    HRESULT STDMETHODCALLTYPE Run(VARIANT, IRunningTask**) override { return Unexpected("RegisteredTask.Run"); }
    HRESULT STDMETHODCALLTYPE RunEx(VARIANT, LONG, LONG, BSTR, IRunningTask**) override
    { return Unexpected("RegisteredTask.RunEx"); }
    HRESULT STDMETHODCALLTYPE GetInstances(LONG, IRunningTaskCollection**) override
    { return Unexpected("RegisteredTask.GetInstances"); }
    HRESULT STDMETHODCALLTYPE get_LastRunTime(DATE*) override { return Unexpected("RegisteredTask.get_LastRunTime"); }
    HRESULT STDMETHODCALLTYPE get_LastTaskResult(LONG*) override
    { return Unexpected("RegisteredTask.get_LastTaskResult"); }
    HRESULT STDMETHODCALLTYPE get_NumberOfMissedRuns(LONG*) override
    { return Unexpected("RegisteredTask.get_NumberOfMissedRuns"); }
    HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE*) override { return Unexpected("RegisteredTask.get_NextRunTime"); }
    HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition**) override
    { return Unexpected("RegisteredTask.get_Definition"); }
    HRESULT STDMETHODCALLTYPE get_Xml(BSTR*) override { return Unexpected("RegisteredTask.get_Xml"); }
    HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR*) override
    { return Unexpected("RegisteredTask.GetSecurityDescriptor"); }
    HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR sddl, LONG flags) override
    { return Call("RegisteredTask.SetSecurityDescriptor", {Text(sddl), Number(flags)}); }
    HRESULT STDMETHODCALLTYPE Stop(LONG flags) override { return Call("RegisteredTask.Stop", {Number(flags)}); }
    HRESULT STDMETHODCALLTYPE GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*) override
    { return Unexpected("RegisteredTask.GetRunTimes"); }
};

class CFakeExecAction : public CFakeObject<IExecAction> {
public:
    HRESULT STDMETHODCALLTYPE get_Id(BSTR*) override { return Unexpected("ExecAction.get_Id"); }
    HRESULT STDMETHODCALLTYPE put_Id(BSTR id) override { return Call("ExecAction.put_Id", {Text(id)}); }
    HRESULT STDMETHODCALLTYPE get_Type(TASK_ACTION_TYPE*) override { return Unexpected("ExecAction.get_Type"); }
    HRESULT STDMETHODCALLTYPE get_Path(BSTR*) override { return Unexpected("ExecAction.get_Path"); }
    HRESULT STDMETHODCALLTYPE put_Path(BSTR path) override { return Call("ExecAction.put_Path", {Text(path)}); }
    HRESULT STDMETHODCALLTYPE get_Arguments(BSTR*) override { return Unexpected("ExecAction.get_Arguments"); }
    HRESULT STDMETHODCALLTYPE put_Arguments(BSTR argument) override
    { return Call("ExecAction.put_Arguments", {Text(argument)}); }
    HRESULT STDMETHODCALLTYPE get_WorkingDirectory(BSTR*) override
    { return Unexpected("ExecAction.get_WorkingDirectory"); }
    HRESULT STDMETHODCALLTYPE put_WorkingDirectory(BSTR directory) override
    { return Call("ExecAction.put_WorkingDirectory", {Text(directory)}); }
};

class CFakeTrigger : public CFakeObject<ITrigger> {
public:
    HRESULT STDMETHODCALLTYPE get_Type(TASK_TRIGGER_TYPE2*) override { return Unexpected("Trigger.get_Type"); }
    HRESULT STDMETHODCALLTYPE get_Id(BSTR*) override { return Unexpected("Trigger.get_Id"); }
    HRESULT STDMETHODCALLTYPE put_Id(BSTR id) override { return Call("Trigger.put_Id", {Text(id)}); }
    HRESULT STDMETHODCALLTYPE get_Repetition(IRepetitionPattern**) override
    { return Unexpected("Trigger.get_Repetition"); }
    HRESULT STDMETHODCALLTYPE put_Repetition(IRepetitionPattern*) override
    { return Unexpected("Trigger.put_Repetition"); }
    HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR*) override
    { return Unexpected("Trigger.get_ExecutionTimeLimit"); }
    HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR limit) override
    { return Call("Trigger.put_ExecutionTimeLimit", {Text(limit)}); }
    HRESULT STDMETHODCALLTYPE get_StartBoundary(BSTR*) override { return Unexpected("Trigger.get_StartBoundary"); }
    HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR start) override
    { return Call("Trigger.put_StartBoundary", {Text(start)}); }
    HRESULT STDMETHODCALLTYPE get_EndBoundary(BSTR*) override { return Unexpected("Trigger.get_EndBoundary"); }
    HRESULT STDMETHODCALLTYPE put_EndBoundary(BSTR end) override
    { return Call("Trigger.put_EndBoundary", {Text(end)}); }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return Unexpected("Trigger.get_Enabled"); }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) override
    { return Call("Trigger.put_Enabled", {Bool(enabled)}); }
};

class CFakeActionCollection : public CFakeObject<IActionCollection> {
public:
    HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return Unexpected("ActionCollection.get_Count"); }
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, IAction** action) override
    { return Make<CFakeExecAction>(Call("ActionCollection.get_Item", {Number(index)}), action); }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override
    { return Unexpected("ActionCollection.get__NewEnum"); }
    HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return Unexpected("ActionCollection.get_XmlText"); }
    HRESULT STDMETHODCALLTYPE put_XmlText(BSTR xml) override
    { return Call("ActionCollection.put_XmlText", {Text(xml)}); }
    HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE Type, IAction** action) override
    { return Make<CFakeExecAction>(Call("ActionCollection.Create", {Number(Type)}), action); }
    HRESULT STDMETHODCALLTYPE Remove(VARIANT index) override
    { return Call("ActionCollection.Remove", {Text(index)}); }
    HRESULT STDMETHODCALLTYPE Clear() override { return Call("ActionCollection.Clear", {}); }
    HRESULT STDMETHODCALLTYPE get_Context(BSTR*) override { return Unexpected("ActionCollection.get_Context"); }
    HRESULT STDMETHODCALLTYPE put_Context(BSTR ctx) override
    { return Call("ActionCollection.put_Context", {Text(ctx)}); }
};

class CFakeTriggerCollection : public CFakeObject<ITriggerCollection> {
public:
    HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return Unexpected("TriggerCollection.get_Count"); }
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, ITrigger** trigger) override
    { return Make<CFakeTrigger>(Call("TriggerCollection.get_Item", {Number(index)}), trigger); }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override
    { return Unexpected("TriggerCollection.get__NewEnum"); }
    HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger** trigger) override
    { return Make<CFakeTrigger>(Call("TriggerCollection.Create", {Number(type)}), trigger); }
    HRESULT STDMETHODCALLTYPE Remove(VARIANT index) override
    { return Call("TriggerCollection.Remove", {Text(index)}); }
    HRESULT STDMETHODCALLTYPE Clear() override { return Call("TriggerCollection.Clear", {}); }
};

class CFakeIdleSettings : public CFakeObject<IIdleSettings> {
public:
    HRESULT STDMETHODCALLTYPE get_IdleDuration(BSTR*) override { return Unexpected("IdleSettings.get_IdleDuration"); }
    HRESULT STDMETHODCALLTYPE put_IdleDuration(BSTR delay) override
    { return Call("IdleSettings.put_IdleDuration", {Text(delay)}); }
    HRESULT STDMETHODCALLTYPE get_WaitTimeout(BSTR*) override { return Unexpected("IdleSettings.get_WaitTimeout"); }
    HRESULT STDMETHODCALLTYPE put_WaitTimeout(BSTR timeout) override
    { return Call("IdleSettings.put_WaitTimeout", {Text(timeout)}); }
    HRESULT STDMETHODCALLTYPE get_StopOnIdleEnd(VARIANT_BOOL*) override
    { return Unexpected("IdleSettings.get_StopOnIdleEnd"); }
    HRESULT STDMETHODCALLTYPE put_StopOnIdleEnd(VARIANT_BOOL stop) override
    { return Call("IdleSettings.put_StopOnIdleEnd", {Bool(stop)}); }
    HRESULT STDMETHODCALLTYPE get_RestartOnIdle(VARIANT_BOOL*) override
    { return Unexpected("IdleSettings.get_RestartOnIdle"); }
    HRESULT STDMETHODCALLTYPE put_RestartOnIdle(VARIANT_BOOL restart) override
    { return Call("IdleSettings.put_RestartOnIdle", {Bool(restart)}); }
};

class CFakeTaskSettings : public CFakeObject<ITaskSettings> {
public:
    HRESULT STDMETHODCALLTYPE get_AllowDemandStart(VARIANT_BOOL*) override
    { return Unexpected("TaskSettings.get_AllowDemandStart"); }
    HRESULT STDMETHODCALLTYPE put_AllowDemandStart(VARIANT_BOOL allow) override
    { return Call("TaskSettings.put_AllowDemandStart", {Bool(allow)}); }
    HRESULT STDMETHODCALLTYPE get_RestartInterval(BSTR*) override
    { return Unexpected("TaskSettings.get_RestartInterval"); }
    HRESULT STDMETHODCALLTYPE put_RestartInterval(BSTR interval) override
    { return Call("TaskSettings.put_RestartInterval", {Text(interval)}); }
    HRESULT STDMETHODCALLTYPE get_RestartCount(INT*) override { return Unexpected("TaskSettings.get_RestartCount"); }
    HRESULT STDMETHODCALLTYPE put_RestartCount(INT count) override
    { return Call("TaskSettings.put_RestartCount", {Number(count)}); }
    HRESULT STDMETHODCALLTYPE get_MultipleInstances(TASK_INSTANCES_POLICY*) override
    { return Unexpected("TaskSettings.get_MultipleInstances"); }
    HRESULT STDMETHODCALLTYPE put_MultipleInstances(TASK_INSTANCES_POLICY policy) override
    { return Call("TaskSettings.put_MultipleInstances", {Number(policy)}); }
    HRESULT STDMETHODCALLTYPE get_StopIfGoingOnBatteries(VARIANT_BOOL*) override
    { return Unexpected("TaskSettings.get_StopIfGoingOnBatteries"); }
    HRESULT STDMETHODCALLTYPE put_StopIfGoingOnBatteries(VARIANT_BOOL stop) override
    { return Call("TaskSettings.put_StopIfGoingOnBatteries", {Bool(stop)}); }
    HRESULT STDMETHODCALLTYPE get_DisallowStartIfOnBatteries(VARIANT_BOOL*) override
    { return Unexpected("TaskSettings.get_DisallowStartIfOnBatteries"); }
    HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL disallow) override
    { return Call("TaskSettings.put_DisallowStartIfOnBatteries", {Bool(disallow)}); }
    HRESULT STDMETHODCALLTYPE get_AllowHardTerminate(VARIANT_BOOL*) override
    { return Unexpected("TaskSettings.get_AllowHardTerminate"); }
    HRESULT STDMETHODCALLTYPE put_AllowHardTerminate(VARIANT_BOOL allow) override
    { return Call("TaskSettings.put_AllowHardTerminate", {Bool(allow)}); }
    HRESULT STDMETHODCALLTYPE get_StartWhenAvailable(VARIANT_BOOL*) override
    { return Unexpected("TaskSettings.get_StartWhenAvailable"); }
    HRESULT STDMETHODCALLTYPE put_StartWhenAvailable(VARIANT_BOOL start) override
    { return Call("TaskSettings.put_StartWhenAvailable", {Bool(start)}); }
    HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return Unexpected("TaskSettings.get_XmlText"); }
    HRESULT STDMETHODCALLTYPE put_XmlText(BSTR xml) override { return Call("TaskSettings.put_XmlText", {Text(xml)}); }
    HRESULT STDMETHODCALLTYPE get_RunOnlyIfNetworkAvailable(VARIANT_BOOL*) override
    { return Unexpected("TaskSettings.get_RunOnlyIfNetworkAvailable"); }
    HRESULT STDMETHODCALLTYPE put_RunOnlyIfNetworkAvailable(VARIANT_BOOL run) override
    { return Call("TaskSettings.put_RunOnlyIfNetworkAvailable", {Bool(run)}); }
    HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR*) override
    { return Unexpected("TaskSettings.get_ExecutionTimeLimit"); }
    HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR limit) override
    { return Call("TaskSettings.put_ExecutionTimeLimit", {Text(limit)}); }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return Unexpected("TaskSettings.get_Enabled"); }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) override
    { return Call("TaskSettings.put_Enabled", {Bool(enabled)}); }
    HRESULT STDMETHODCALLTYPE get_DeleteExpiredTaskAfter(BSTR*) override
    { return Unexpected("TaskSettings.get_DeleteExpiredTaskAfter"); }
    HRESULT STDMETHODCALLTYPE put_DeleteExpiredTaskAfter(BSTR delay) override
    { return Call("TaskSettings.put_DeleteExpiredTaskAfter", {Text(delay)}); }
    HRESULT STDMETHODCALLTYPE get_Priority(INT*) override { return Unexpected("TaskSettings.get_Priority"); }
    HRESULT STDMETHODCALLTYPE put_Priority(INT priority) override
    { return Call("TaskSettings.put_Priority", {Number(priority)}); }
    HRESULT STDMETHODCALLTYPE get_Compatibility(TASK_COMPATIBILITY*) override
    { return Unexpected("TaskSettings.get_Compatibility"); }
    HRESULT STDMETHODCALLTYPE put_Compatibility(TASK_COMPATIBILITY level) override
    { return Call("TaskSettings.put_Compatibility", {Number(level)}); }
    HRESULT STDMETHODCALLTYPE get_Hidden(VARIANT_BOOL*) override { return Unexpected("TaskSettings.get_Hidden"); }
    HRESULT STDMETHODCALLTYPE put_Hidden(VARIANT_BOOL hidden) override
    { return Call("TaskSettings.put_Hidden", {Bool(hidden)}); }
    HRESULT STDMETHODCALLTYPE get_IdleSettings(IIdleSettings** settings) override
    { return Make<CFakeIdleSettings>(Call("TaskSettings.get_IdleSettings", {}), settings); }
    HRESULT STDMETHODCALLTYPE put_IdleSettings(IIdleSettings* settings) override
    { return Call("TaskSettings.put_IdleSettings", {(settings ? "object" : "null")}); }
    HRESULT STDMETHODCALLTYPE get_RunOnlyIfIdle(VARIANT_BOOL*) override
    { return Unexpected("TaskSettings.get_RunOnlyIfIdle"); }
    HRESULT STDMETHODCALLTYPE put_RunOnlyIfIdle(VARIANT_BOOL run) override
    { return Call("TaskSettings.put_RunOnlyIfIdle", {Bool(run)}); }
    HRESULT STDMETHODCALLTYPE get_WakeToRun(VARIANT_BOOL*) override
    { return Unexpected("TaskSettings.get_WakeToRun"); }
    HRESULT STDMETHODCALLTYPE put_WakeToRun(VARIANT_BOOL wake) override
    { return Call("TaskSettings.put_WakeToRun", {Bool(wake)}); }
    HRESULT STDMETHODCALLTYPE get_NetworkSettings(INetworkSettings**) override
    { return Unexpected("TaskSettings.get_NetworkSettings"); }
    HRESULT STDMETHODCALLTYPE put_NetworkSettings(INetworkSettings*) override
    { return Unexpected("TaskSettings.put_NetworkSettings"); }
};

class CFakePrincipal : public CFakeObject<IPrincipal> {
public:
    HRESULT STDMETHODCALLTYPE get_Id(BSTR*) override { return Unexpected("Principal.get_Id"); }
    HRESULT STDMETHODCALLTYPE put_Id(BSTR id) override { return Call("Principal.put_Id", {Text(id)}); }
    HRESULT STDMETHODCALLTYPE get_DisplayName(BSTR*) override { return Unexpected("Principal.get_DisplayName"); }
    HRESULT STDMETHODCALLTYPE put_DisplayName(BSTR name) override
    { return Call("Principal.put_DisplayName", {Text(name)}); }
    HRESULT STDMETHODCALLTYPE get_UserId(BSTR*) override { return Unexpected("Principal.get_UserId"); }
    HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) override { return Call("Principal.put_UserId", {Text(user)}); }
    HRESULT STDMETHODCALLTYPE get_LogonType(TASK_LOGON_TYPE*) override
    { return Unexpected("Principal.get_LogonType"); }
    HRESULT STDMETHODCALLTYPE put_LogonType(TASK_LOGON_TYPE logon) override
    { return Call("Principal.put_LogonType", {Number(logon)}); }
    HRESULT STDMETHODCALLTYPE get_GroupId(BSTR*) override { return Unexpected("Principal.get_GroupId"); }
    HRESULT STDMETHODCALLTYPE put_GroupId(BSTR group) override
    { return Call("Principal.put_GroupId", {Text(group)}); }
    HRESULT STDMETHODCALLTYPE get_RunLevel(TASK_RUNLEVEL_TYPE*) override
    { return Unexpected("Principal.get_RunLevel"); }
    HRESULT STDMETHODCALLTYPE put_RunLevel(TASK_RUNLEVEL_TYPE level) override
    { return Call("Principal.put_RunLevel", {Number(level)}); }
};

class CFakeRegistrationInfo : public CFakeObject<IRegistrationInfo> {
public:
    HRESULT STDMETHODCALLTYPE get_Description(BSTR*) override
    { return Unexpected("RegistrationInfo.get_Description"); }
    HRESULT STDMETHODCALLTYPE put_Description(BSTR description) override
    { return Call("RegistrationInfo.put_Description", {Text(description)}); }
    HRESULT STDMETHODCALLTYPE get_Author(BSTR*) override { return Unexpected("RegistrationInfo.get_Author"); }
    HRESULT STDMETHODCALLTYPE put_Author(BSTR author) override
    { return Call("RegistrationInfo.put_Author", {Text(author)}); }
    HRESULT STDMETHODCALLTYPE get_Version(BSTR*) override { return Unexpected("RegistrationInfo.get_Version"); }
    HRESULT STDMETHODCALLTYPE put_Version(BSTR version) override
    { return Call("RegistrationInfo.put_Version", {Text(version)}); }
    HRESULT STDMETHODCALLTYPE get_Date(BSTR*) override { return Unexpected("RegistrationInfo.get_Date"); }
    HRESULT STDMETHODCALLTYPE put_Date(BSTR date) override { return Call("RegistrationInfo.put_Date", {Text(date)}); }
    HRESULT STDMETHODCALLTYPE get_Documentation(BSTR*) override
    { return Unexpected("RegistrationInfo.get_Documentation"); }
    HRESULT STDMETHODCALLTYPE put_Documentation(BSTR doc) override
    { return Call("RegistrationInfo.put_Documentation", {Text(doc)}); }
    HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return Unexpected("RegistrationInfo.get_XmlText"); }
    HRESULT STDMETHODCALLTYPE put_XmlText(BSTR xml) override
    { return Call("RegistrationInfo.put_XmlText", {Text(xml)}); }
    HRESULT STDMETHODCALLTYPE get_URI(BSTR*) override { return Unexpected("RegistrationInfo.get_URI"); }
    HRESULT STDMETHODCALLTYPE put_URI(BSTR uri) override { return Call("RegistrationInfo.put_URI", {Text(uri)}); }
    HRESULT STDMETHODCALLTYPE get_SecurityDescriptor(VARIANT*) override
    { return Unexpected("RegistrationInfo.get_SecurityDescriptor"); }
    HRESULT STDMETHODCALLTYPE put_SecurityDescriptor(VARIANT sddl) override
    { return Call("RegistrationInfo.put_SecurityDescriptor", {Text(sddl)}); }
    HRESULT STDMETHODCALLTYPE get_Source(BSTR*) override { return Unexpected("RegistrationInfo.get_Source"); }
    HRESULT STDMETHODCALLTYPE put_Source(BSTR source) override
    { return Call("RegistrationInfo.put_Source", {Text(source)}); }
};

class CFakeTaskDefinition : public CFakeObject<ITaskDefinition> {
public:
    HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** info) override
    { return Make<CFakeRegistrationInfo>(Call("TaskDefinition.get_RegistrationInfo", {}), info); }
    HRESULT STDMETHODCALLTYPE put_RegistrationInfo(IRegistrationInfo* info) override
    { return Call("TaskDefinition.put_RegistrationInfo", {(info ? "object" : "null")}); }
    HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** triggers) override
    { return Make<CFakeTriggerCollection>(Call("TaskDefinition.get_Triggers", {}), triggers); }
    HRESULT STDMETHODCALLTYPE put_Triggers(ITriggerCollection* triggers) override
    { return Call("TaskDefinition.put_Triggers", {(triggers ? "object" : "null")}); }
    HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** settings) override
    { return Make<CFakeTaskSettings>(Call("TaskDefinition.get_Settings", {}), settings); }
    HRESULT STDMETHODCALLTYPE put_Settings(ITaskSettings* settings) override
    { return Call("TaskDefinition.put_Settings", {(settings ? "object" : "null")}); }
    HRESULT STDMETHODCALLTYPE get_Data(BSTR*) override { return Unexpected("TaskDefinition.get_Data"); }
    HRESULT STDMETHODCALLTYPE put_Data(BSTR data) override { return Call("TaskDefinition.put_Data", {Text(data)}); }
    HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal** principal) override
    { return Make<CFakePrincipal>(Call("TaskDefinition.get_Principal", {}), principal); }
    HRESULT STDMETHODCALLTYPE put_Principal(IPrincipal* principal) override
    { return Call("TaskDefinition.put_Principal", {(principal ? "object" : "null")}); }
    HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** actions) override
    { return Make<CFakeActionCollection>(Call("TaskDefinition.get_Actions", {}), actions); }
    HRESULT STDMETHODCALLTYPE put_Actions(IActionCollection* actions) override
    { return Call("TaskDefinition.put_Actions", {(actions ? "object" : "null")}); }
    HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return Unexpected("TaskDefinition.get_XmlText"); }
    HRESULT STDMETHODCALLTYPE put_XmlText(BSTR xml) override
    { return Call("TaskDefinition.put_XmlText", {Text(xml)}); }
};

class CFakeTaskFolder : public CFakeObject<ITaskFolder> {
public:
    HRESULT STDMETHODCALLTYPE get_Name(BSTR*) override { return Unexpected("TaskFolder.get_Name"); }
    HRESULT STDMETHODCALLTYPE get_Path(BSTR*) override { return Unexpected("TaskFolder.get_Path"); }
    HRESULT STDMETHODCALLTYPE GetFolder(BSTR, ITaskFolder**) override { return Unexpected("TaskFolder.GetFolder"); }
    HRESULT STDMETHODCALLTYPE GetFolders(LONG, ITaskFolderCollection**) override
    { return Unexpected("TaskFolder.GetFolders"); }
    HRESULT STDMETHODCALLTYPE CreateFolder(BSTR, VARIANT, ITaskFolder**) override
    { return Unexpected("TaskFolder.CreateFolder"); }
    HRESULT STDMETHODCALLTYPE DeleteFolder(BSTR name, LONG flags) override
    { return Call("TaskFolder.DeleteFolder", {Text(name), Number(flags)}); }
    HRESULT STDMETHODCALLTYPE GetTask(BSTR path, IRegisteredTask** task) override
    { return Make<CFakeRegisteredTask>(Call("TaskFolder.GetTask", {Text(path)}), task); }
    HRESULT STDMETHODCALLTYPE GetTasks(LONG, IRegisteredTaskCollection**) override
    { return Unexpected("TaskFolder.GetTasks"); }
    HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) override
    { return Call("TaskFolder.DeleteTask", {Text(name), Number(flags)}); }
    HRESULT STDMETHODCALLTYPE RegisterTask(BSTR path, BSTR xml, LONG flags, VARIANT user, VARIANT password, TASK_LOGON_TYPE logonType, VARIANT sddl, IRegisteredTask** task) override
    { return Make<CFakeRegisteredTask>(Call("TaskFolder.RegisterTask", {Text(path), Text(xml), Number(flags), Text(user), Text(password), Number(logonType), Text(sddl)}), task); }
    HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition* definition, LONG flags, VARIANT user, VARIANT password, TASK_LOGON_TYPE logon, VARIANT sddl, IRegisteredTask** task) override
    { return Make<CFakeRegisteredTask>(Call("TaskFolder.RegisterTaskDefinition", {Text(path), (definition ? "object" : "null"), Number(flags), Text(user), Text(password), Number(logon), Text(sddl)}), task); }
    HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR*) override
    { return Unexpected("TaskFolder.GetSecurityDescriptor"); }
    HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR sddl, LONG flags) override
    { return Call("TaskFolder.SetSecurityDescriptor", {Text(sddl), Number(flags)}); }
};

class CFakeTaskService : public CFakeObject<ITaskService> {
public:
    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) override
    { return Make<CFakeTaskFolder>(Call("TaskService.GetFolder", {Text(path)}), folder); }
    HRESULT STDMETHODCALLTYPE GetRunningTasks(LONG, IRunningTaskCollection**) override
    { return Unexpected("TaskService.GetRunningTasks"); }
    HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** definition) override
    { return Make<CFakeTaskDefinition>(Call("TaskService.NewTask", {Number(flags)}), definition); }
    HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) override
    { return Call("TaskService.Connect", {Text(server), Text(user), Text(domain), Text(password)}); }
    HRESULT STDMETHODCALLTYPE get_Connected(VARIANT_BOOL*) override
    { return Unexpected("TaskService.get_Connected"); }
    HRESULT STDMETHODCALLTYPE get_TargetServer(BSTR*) override { return Unexpected("TaskService.get_TargetServer"); }
    HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR*) override
    { return Unexpected("TaskService.get_ConnectedUser"); }
    HRESULT STDMETHODCALLTYPE get_ConnectedDomain(BSTR*) override
    { return Unexpected("TaskService.get_ConnectedDomain"); }
    HRESULT STDMETHODCALLTYPE get_HighestVersion(DWORD*) override
    { return Unexpected("TaskService.get_HighestVersion"); }
};
