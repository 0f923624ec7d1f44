#include "platform/nuvexacloud/nuvexacloud.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

NuvexaCloud::NuvexaCloud(QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
}

NuvexaCloud::NuvexaCloud(const QString &restBase, const QString &wsBase, QObject *parent)
    : NuvexaCloud(parent)
{
    setBaseAddresses(restBase, wsBase);
}

NuvexaCloud::~NuvexaCloud() = default;

void NuvexaCloud::setBaseAddresses(const QString &restBase, const QString &wsBase)
{
    m_url = restBase;
    m_ws = wsBase;
}

void NuvexaCloud::setTransferTimeout(int ms)
{
    m_timeout = ms;
}

QString NuvexaCloud::ws()
{
    return m_ws;
}

QString NuvexaCloud::url()
{
    return m_url;
}

void NuvexaCloud::customRequest(const QString &path, QByteArray verb, QJsonObject body, Callback callback)
{
    QString address = m_url;
    if (!address.isEmpty() && !address.endsWith(QLatin1Char('/')) && !path.startsWith(QLatin1Char('/')))
        address += QLatin1Char('/');
    QNetworkRequest request(QUrl(address + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(m_timeout);
    QNetworkReply *reply =
        m_network->sendCustomRequest(request, verb, QJsonDocument(body).toJson(QJsonDocument::Compact));
    connect(reply, &QNetworkReply::finished, this, [reply, callback]() {
        if (callback)
            callback(reply, reply->error() == QNetworkReply::NoError);
        reply->deleteLater();
    });
}
