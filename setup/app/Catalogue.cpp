#include "app/Catalogue.h"

#include "installers/ModulePath.h"
#include "installers/PathSplit.h"
#include "platform/SystemApi.h"
#include "res/resource.h"

std::string GetAppName() {
    std::string title = LoadCatalogueText(AFX_IDS_APP_TITLE);
    if (!title.empty())
        return title;
    // The whole path, however deep the medium was copied: the name must not depend on where.
    return CutPath(GetModulePath(ModulePathBuffer::Growing)).baseName;
}

void ShowCatalogueMessage(HWND owner, UINT textId, UINT icon) {
    std::string text = LoadCatalogueText(textId);
    std::string caption = GetAppName();
    SystemApi().MessageBoxA(owner, text.c_str(), caption.c_str(), MB_OK | icon);
}
