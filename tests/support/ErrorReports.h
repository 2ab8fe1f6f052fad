#pragma once
// Bad-error reports in test programs. Every test program records the reports instead of
// showing and sending them (its main calls RecordErrorReports), so that a test that provokes
// a hard assertion is not stopped by the question. The error catcher's own tests use the
// real reports for their length with CRealErrorReports.
#include <string>
#include <vector>

namespace testutil {

struct RecordedReport {
    std::string sMessage;
    bool bMemoryFull;
    bool bShowDuplicates;
    bool bDontAsk;
};

void RecordErrorReports();
std::vector<RecordedReport> RecordedErrorReports();
void ClearRecordedErrorReports();

// Real reports (logged, shown, sent to the endpoint given) while it lives; the last reported
// message is forgotten at both ends.
class CRealErrorReports {
public:
    explicit CRealErrorReports(const std::string& sEndpoint);
    ~CRealErrorReports();
    CRealErrorReports(const CRealErrorReports&) = delete;
    CRealErrorReports& operator=(const CRealErrorReports&) = delete;
private:
    std::string m_sEndpoint;
};

}  // namespace testutil
