// The login and configuration forms.
#pragma once

#include "quillschema.h"

#include <string>

namespace ui {

enum class FormEnd { Accepted, Cancelled };

// Administrator name and password (at most 256 characters each, trailing blanks gone).
FormEnd LoginForm(std::string& name, std::string& password);

// The configuration parameters; cfg.msgServerName is the preset server name.
FormEnd ConfigForm(quill::ServerConfig& cfg);

} // namespace ui
