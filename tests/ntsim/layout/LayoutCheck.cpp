// Our kernel headers against the layouts MinGW's DDK headers give (Layouts.h).
#include <wdm.h>
#include <usbioctl.h>
#include <usburb.h>

#define LAYOUT(expression, value) static_assert((expression) == (value), #expression);
#include "Layouts.h"
