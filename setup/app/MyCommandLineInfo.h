// The command-line record and its parse: one switch, "uninstall".
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The framework's command-line record, reduced to its parse hook: the framework's standard
// switches (print, registration, file names) have no meaning in this program.
class CCommandLineInfo {
public:
    virtual ~CCommandLineInfo() = default;
    // pszParam: the argument without its leading switch character; bFlag: it had one ("-" or
    // "/"); bLast: it is the last argument.
    virtual void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast);
};

class CMyCommandLineInfo : public CCommandLineInfo {
public:
    CMyCommandLineInfo();
    ~CMyCommandLineInfo() override;
    void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast) override;

    BOOL m_bUninstall;
};

// Calls ParseParam once per argument after the program name, in order. `arguments` is the
// argument vector as the C runtime split the command line (program name first).
void ParseCommandLine(CCommandLineInfo& info, const std::vector<std::string>& arguments);
