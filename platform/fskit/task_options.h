#pragma once

#include <string>
#include <vector>

namespace fskit {

// Options the service passes with a task (load, activate, mount); the module only logs them.
struct FSTaskOptions {
    std::vector<std::string> taskOptions;
    std::string description() const;
};

inline std::string FSTaskOptions::description() const {
    std::string text = "[";
    for (size_t i = 0; i < taskOptions.size(); ++i) {
        if (i > 0) text += ", ";
        text += taskOptions[i];
    }
    return text + "]";
}

}  // namespace fskit
