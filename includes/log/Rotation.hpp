#pragma once

// The renames that rotate the log file: name.log becomes name.1.log,
// name.1.log becomes name.2.log, and so on. Only renames: nothing is deleted
// or emptied here, so a rotation that fails half-way loses no file but the
// oldest, which a rename replaces only when every place is taken.
#include <cstddef>
#include <optional>
#include <string>

namespace Logger {

// The name of rotated file index (0: the file itself): "logs/app.log" with 3
// is "logs/app.3.log", a name without an extension gets ".3" at the end.
std::string rotatedName(const std::string& name, std::size_t index);

// The rename that failed, and the system's reason (errno).
struct RotationFailure {
    std::string from;
    std::string to;
    int error = 0;

    // "renaming FROM to TO: <the system's text for error>"
    std::string describe() const;
};

// Moves name and its rotated files one place up, as far as the first place
// that is free (or holds no regular file, a folder say), or up to maxFiles,
// whose file the rename then replaces. Renames the newest file last, so that a
// failure leaves name where it was; stops at the first rename that fails and
// returns it. Nothing to do when name does not exist. Any thread; the caller
// keeps others from rotating the same files at the same time.
std::optional<RotationFailure> rotateFiles(const std::string& name, std::size_t maxFiles);

}  // namespace Logger
