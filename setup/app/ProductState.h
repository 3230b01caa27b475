// The installed state of the product, as the Windows Installer knows it.
#pragma once

#include <windows.h>

// The product code the product's own installer registers.
extern const char kProductCode[];

// The Windows Installer's state for a product installed in its default way; every other state
// (advertised, installed for another user, unknown, an error) means "not installed" to the setup.
constexpr INT kProductInstalled = 5;

// The Windows Installer's state of kProductCode, handed on unchanged.
INT QueryProductState();
