#pragma once
// A small HTTP server on 127.0.0.1 for the tests of the error report: it answers every GET
// with a short uncacheable 200 and records the request targets in order.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CLocalHttpServer {
public:
    CLocalHttpServer();   // listens on a free port of 127.0.0.1
    ~CLocalHttpServer();
    CLocalHttpServer(const CLocalHttpServer&) = delete;
    CLocalHttpServer& operator=(const CLocalHttpServer&) = delete;

    bool Listening() const { return m_port != 0; }
    int Port() const { return m_port; }
    // "http://127.0.0.1:<port>" followed by pszPath.
    std::string Url(const char* pszPath) const;
    // The targets ("/path?query") of the requests received so far.
    std::vector<std::string> Targets() const;
    bool WaitForRequests(size_t nCount, DWORD dwTimeoutMs) const;

    // A port of 127.0.0.1 on which nobody listens (bound once, then let go).
    static int UnusedPort();
    // The query of a target (after the first "?"), percent-decoded.
    static std::string DecodedQuery(const std::string& sTarget);

private:
    void Run();
    void Serve(UINT_PTR s);

    UINT_PTR m_listener = ~static_cast<UINT_PTR>(0);   // a SOCKET
    int m_port = 0;
    std::atomic<bool> m_bStop{false};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_targets;
    std::thread m_thread;
};
