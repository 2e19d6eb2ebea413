#include "errors.hpp"

#include <cstring>

namespace zelmsg {

std::string_view last_error_text() {
    const solClient_errorInfo_pt error = solClient_getLastErrorInfo();
    return error ? std::string_view(error->errorStr, strnlen(error->errorStr, sizeof error->errorStr))
                 : std::string_view{};
}

void refused(std::string_view sentence) {
    const std::string_view reason = last_error_text();
    std::string text(sentence);
    if (!reason.empty()) text.append(": ").append(reason);
    throw py::value_error(text);
}

void check_call(solClient_returnCode_t rc, const char *what) {
    if (rc != SOLCLIENT_OK) refused(std::string("libsolclient refused ") + what);
}

}  // namespace zelmsg
