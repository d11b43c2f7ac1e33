#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

// "CKR_TOKEN_NOT_PRESENT" for a return value the standard names, else its
// number in hex ("CKR 0x80000001", a vendor's own).
std::string pkcs11ReturnName(CK_RV rv);
