#pragma once
// The maker's addresses, kept in one place: the support address that system errors and the
// error report name, the endpoint that receives error reports and the web-site name that the
// report's question names. A report carries the user's name, e-mail address and folder
// paths, so the endpoint is only ever an https address.
inline constexpr char kTsSupportEmail[] = "support@norvaneworks.example";
inline constexpr char kTsErrorReportEndpoint[] = "https://report.norvaneworks.example/tserror";
inline constexpr char kTsWebSiteName[] = "www.norvaneworks.example";
