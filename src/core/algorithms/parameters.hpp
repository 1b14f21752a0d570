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

// What a documented keyword's value must be, besides finite.
enum class Range { Any, NonNegative, Positive };

// A keyword of trelmon_tools' own finders: besides its field, the unit and meaning shown in the
// class docstring and the range the constructor checks, so that the table is the only place any
// of them is written.
template <class Params, class T>
struct DocumentedParameter {
    const char* name;
    T Params::* field;
    Range range;
    const char* unit;  // "" for a pure number
    const char* doc;
};

}  // namespace trelmon
