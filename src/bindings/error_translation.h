#pragma once

namespace corvane {

// Makes the module's own exceptions Python exceptions whose text is the
// whole message: NUL bytes kept, bytes that are not UTF-8 escaped as \xNN.
void register_error_translation();

}  // namespace corvane
