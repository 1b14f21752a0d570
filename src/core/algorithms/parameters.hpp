// A finder's parameter table. Each finder's parameter struct declares its fields once, with type,
// default (the initializer) and meaning and unit (the comment above the field), and lists them in
// `parameters()`, in the constructor's keyword order. Everything else is derived from that list:
// the Python constructor's argument parsing and defaults, its stored text signature, and the
// listing trelmon_tools reads.
#pragma once

namespace trelmon {

// One keyword argument of a finder's constructor and the field that holds its value.
template <class Params, class T>
struct Parameter {
    const char* name;
    T Params::* field;
};

// A name the stored text signature shows although the constructor refuses it.
struct SignatureOnly {
    const char* name;
};

}  // namespace trelmon
