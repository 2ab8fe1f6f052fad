#include "ErrorReports.h"

#include <mutex>

#include "Strings/TsErrorCatcher.h"

namespace testutil {

namespace {

std::mutex g_mutex;
std::vector<RecordedReport> g_reports;

void Record(const char* pszMessage, bool bMemoryFull, bool bShowDuplicates, bool bDontAsk)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_reports.push_back({pszMessage, bMemoryFull, bShowDuplicates, bDontAsk});
}

}  // namespace

void RecordErrorReports()
{
    TsSetBadErrorSink(Record);
}

std::vector<RecordedReport> RecordedErrorReports()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_reports;
}

void ClearRecordedErrorReports()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_reports.clear();
}

CRealErrorReports::CRealErrorReports(const std::string& sEndpoint) : m_sEndpoint(sEndpoint)
{
    TsSetBadErrorSink(nullptr);
    TsSetErrorReportEndpoint(m_sEndpoint.c_str());
    TsResetLastReport();
}

CRealErrorReports::~CRealErrorReports()
{
    TsResetLastReport();
    TsSetErrorReportEndpoint(nullptr);
    RecordErrorReports();
}

}  // namespace testutil
