#include "app/ProductState.h"

#include "platform/SystemApi.h"

const char kProductCode[] = "{5E0A7B21-3C94-4D6F-8A12-B7C4E9F03D58}";

INT QueryProductState() {
    return SystemApi().MsiQueryProductStateA(kProductCode);
}
