// What a name in /dev/shm holds, told from its bytes without mapping or locking it.
//
// Only kelvane writes these marks: a lock is a 4096-byte object with a robust,
// process-shared mutex at 0 and the ready mark "KELLOCK1" at 64; a queue is an object of
// 16384 bytes and a whole number of MiB with the ready word 1 at 408 and its capacity at
// 400. An object still being made (size 0, or zeros) cannot be told yet. Another layout
// of a later version marks its objects otherwise and reads as neither.
#pragma once

#include <string>
#include <string_view>

namespace kel {

enum class Holds {
    Unknown,        // no such object, one that cannot be read, or one its creator has not filled yet
    Lock,           // a lock, or one being made
    Queue,          // a queue, or one being made
    SomethingElse   // anything else: `what` says what
};

struct ObjectKind {
    Holds holds;
    std::string what; // "a kelvane lock", "a kelvane queue (16 MiB)", "4096 bytes that are not a kelvane lock", ...
};

// Reads /dev/shm/NAME (the segment name, with or without its leading "/").
[[nodiscard]] ObjectKind describe_object(std::string_view name);

// The sentence that refuses `name` for use as a `kind` ("lock" or "queue") when it holds
// something else, as the Python layer words it; empty when it may be used as one.
[[nodiscard]] std::string refusal(std::string_view name, const ObjectKind& held, std::string_view kind);

} // namespace kel
