#pragma once

#include <QObject>

namespace nimo {

// Client of nimo-tunneld's control socket (being written).
class TunnelServiceClient : public QObject {
    Q_OBJECT
};

} // namespace nimo
