#include "platform/NetworkWatcher.h"

#include <QNetworkInformation>

NetworkWatcher::NetworkWatcher(QObject* parent) : QObject(parent) {
    m_backend =
        QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability);
    QNetworkInformation* info = QNetworkInformation::instance();
    if (!m_backend || !info)
        return;
    connect(info, &QNetworkInformation::reachabilityChanged, this,
            [this](QNetworkInformation::Reachability r) { Take(int(r)); });
    Take(int(info->reachability()));
}

void NetworkWatcher::Take(int reachability) {
    // Only "no network at all" is offline: a local or site network may hold the database.
    Reach reach = Reach::Online;
    switch (QNetworkInformation::Reachability(reachability)) {
    case QNetworkInformation::Reachability::Unknown:
        reach = Reach::Unknown;
        break;
    case QNetworkInformation::Reachability::Disconnected:
        reach = Reach::Offline;
        break;
    default:
        break;
    }
    if (m_reach.exchange(reach) != reach)
        emit Changed(reach);
}
