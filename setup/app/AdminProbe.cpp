#include "app/AdminProbe.h"

#include "platform/SystemApi.h"

BOOL UserIsAdministrator() {
    return SystemApi().IsUserAnAdmin();
}
