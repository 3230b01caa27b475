#include "app/ExistInstance.h"

#include "app/Catalogue.h"
#include "platform/SystemApi.h"

namespace {
const char kMutexGuid[] = "7D3B9E40-2A61-4F85-9C07-E15A28D4B6F3";
} // namespace

CExistInstance::CExistInstance() = default;

CExistInstance::~CExistInstance() = default;

std::string CExistInstance::GetMutexName() const {
    return "MUTEX_" + GetAppName() + "_" + kMutexGuid;
}

bool CExistInstance::IsAlreadyRunning() {
    if (m_hMutex.IsValid())
        return false;
    std::string name = GetMutexName();
    m_hMutex.Reset(SystemApi().CreateMutexA(nullptr, TRUE, name.c_str()));
    // Read the error at once: it belongs to the creation only until the next call.
    DWORD error = SystemApi().GetLastError();
    // A mutex that cannot be created counts as no other instance.
    return m_hMutex.IsValid() && error == ERROR_ALREADY_EXISTS;
}
