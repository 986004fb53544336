// The distribution channel id: the UTF-16 text of the program's resource
// "Custom" 117, up to its first zero character; empty without it.
#pragma once

#include <string>

std::u16string LoadSupplyId();
