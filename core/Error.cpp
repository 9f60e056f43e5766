// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Error.h"

namespace tavrino {

Error::Error(int32_t number, const std::string& text) : std::runtime_error(text), number_(number) {}

}  // namespace tavrino
