#include "service/NMNetWorkError.h"

namespace nimo {

std::string NMNetWorkError::errorDescription() const {
    switch (kind_) {
    case Kind::msg:
        return message_;
    case Kind::invalidHost:
        return "无效的根域名";
    case Kind::dataAnalysis:
        return "数据解析失败";
    }
    return message_;
}

} // namespace nimo
