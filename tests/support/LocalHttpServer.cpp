#include <winsock2.h>
#include <ws2tcpip.h>

#include "LocalHttpServer.h"

namespace {

struct WinsockInit {
    WinsockInit()
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
};

void EnsureWinsock()
{
    static WinsockInit s_init;
}

SOCKET BindLoopback(int& nPort)
{
    EnsureWinsock();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int nLen = sizeof(addr);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    nPort = ntohs(addr.sin_port);
    return s;
}

int HexValue(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    return -1;
}

}  // namespace

CLocalHttpServer::CLocalHttpServer()
{
    int nPort = 0;
    m_listener = BindLoopback(nPort);
    if (m_listener == INVALID_SOCKET)
        return;
    if (::listen(m_listener, 16) != 0) {
        ::closesocket(m_listener);
        m_listener = INVALID_SOCKET;
        return;
    }
    m_port = nPort;
    m_thread = std::thread([this] { Run(); });
}

CLocalHttpServer::~CLocalHttpServer()
{
    m_bStop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener != INVALID_SOCKET)
        ::closesocket(m_listener);
}

std::string CLocalHttpServer::Url(const char* pszPath) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + pszPath;
}

std::vector<std::string> CLocalHttpServer::Targets() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_targets;
}

bool CLocalHttpServer::WaitForRequests(size_t nCount, DWORD dwTimeoutMs) const
{
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        if (Targets().size() >= nCount)
            return true;
        if (::GetTickCount() - dwStart > dwTimeoutMs)
            return false;
        ::Sleep(20);
    }
}

int CLocalHttpServer::UnusedPort()
{
    int nPort = 0;
    SOCKET s = BindLoopback(nPort);
    if (s == INVALID_SOCKET)
        return 0;
    ::closesocket(s);
    return nPort;
}

std::string CLocalHttpServer::DecodedQuery(const std::string& sTarget)
{
    size_t nPos = sTarget.find('?');
    std::string sOut;
    if (nPos == std::string::npos)
        return sOut;
    for (size_t i = nPos + 1; i < sTarget.size(); ++i) {
        int hi, lo;
        if (sTarget[i] == '%' && i + 2 < sTarget.size() && (hi = HexValue(sTarget[i + 1])) >= 0 &&
            (lo = HexValue(sTarget[i + 2])) >= 0) {
            sOut += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            sOut += sTarget[i];
        }
    }
    return sOut;
}

void CLocalHttpServer::Run()
{
    while (!m_bStop) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_listener, &set);
        timeval tv = {0, 50000};
        if (::select(0, &set, nullptr, nullptr, &tv) <= 0)
            continue;
        SOCKET s = ::accept(m_listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            continue;
        Serve(s);
        ::closesocket(s);
    }
}

void CLocalHttpServer::Serve(UINT_PTR s)
{
    std::string sRequest;
    char buf[4096];
    while (sRequest.find("\r\n\r\n") == std::string::npos && sRequest.size() < 65536) {
        int n = ::recv(s, buf, sizeof(buf), 0);
        if (n <= 0)
            return;
        sRequest.append(buf, static_cast<size_t>(n));
    }
    size_t nFirst = sRequest.find(' ');
    size_t nSecond = nFirst == std::string::npos ? nFirst : sRequest.find(' ', nFirst + 1);
    if (nSecond == std::string::npos)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_targets.push_back(sRequest.substr(nFirst + 1, nSecond - nFirst - 1));
    }
    static const char kAnswer[] =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
        "Cache-Control: no-store, no-cache\r\nPragma: no-cache\r\nExpires: 0\r\nConnection: close\r\n\r\nok";
    ::send(s, kAnswer, sizeof(kAnswer) - 1, 0);
    ::shutdown(s, SD_SEND);
}
