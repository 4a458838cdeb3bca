#include "station/factory/db_result.h"

std::string DbError::Text() const {
    std::string text = call + ": ";
    if (!sqlState.empty())
        text += "[" + sqlState + "] ";
    return text + message;
}
