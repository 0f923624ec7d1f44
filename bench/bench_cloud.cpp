// Requests to the local cloud service: 100 devices registering, 100 requests
// and 100 work records (each written through to the disk before it leaves)
// one by one through the client, against POSTs sent one by one through
// QNetworkAccessManager (header and body in two writes).
#include "plugin/ktmrc600cam.h"
#include "platform/nuvexacloud/nuvexacloud.h"
#include "property/ktdeviceproperty.h"
#include "tools/cloud-service/ktcloudservice.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

namespace {

QTemporaryDir *g_dir = nullptr;

const QJsonObject Record{{"end_time", "Wed Dec 9 04:00:00 2026"}, {"task_time", 12}, {"task_copies", 2},
                         {"finish_copies", 2}, {"device", 1}, {"page_area", 60000}, {"page_size", "300x200"},
                         {"path_length", 1500}, {"task_model", 0}, {"work_model", 2}};

void perRequest(benchmark::State &state, qint64 requests)
{
    state.counters["requests"] = benchmark::Counter(double(requests), benchmark::Counter::kAvgIterations);
    state.counters["s_per_request"] =
        benchmark::Counter(double(requests), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RegisterDevices(benchmark::State &state)
{
    KTCloudService service;
    service.listen();
    NuvexaCloud cloud(service.restBase(), service.wsBase(), g_dir->filePath("register.sqlite"));
    KTMRC600Cam root;
    qint64 requests = 0;
    int round = 0;
    for (auto _ : state) {
        std::vector<std::unique_ptr<KTDeviceInterface>> devices;
        const int before = service.requests().size();
        int registered = 0;
        QEventLoop loop;
        for (int i = 0; i < 100; ++i) {
            devices.emplace_back(root.initInstance());
            KTDeviceProperty *cloudRecord = devices.back()->property_ptr("DEVICE_CLOUD");
            QObject::connect(cloudRecord, &KTDeviceProperty::valueChanged, &loop, [&, cloudRecord]() {
                if (cloudRecord->value().toJsonObject().contains("id") && ++registered == 100)
                    loop.quit();
            });
        }
        for (int i = 0; i < 100; ++i)
            devices[size_t(i)]->setNuvexaCloud(&cloud, QStringLiteral("KT%1R%2").arg(i, 4, 10, QLatin1Char('0')).arg(round));
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
        ++round;
        requests += service.requests().size() - before;
        // Relay sockets close with their devices before the next round.
        devices.clear();
    }
    perRequest(state, requests);
}
BENCHMARK(BM_RegisterDevices)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_WorkRecordsOneByOne(benchmark::State &state)
{
    KTCloudService service;
    service.listen();
    NuvexaCloud cloud(service.restBase(), service.wsBase(), g_dir->filePath("records.sqlite"));
    qint64 requests = 0;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            QEventLoop loop;
            QObject::connect(&cloud, &NuvexaCloud::workRecordDelivered, &loop, &QEventLoop::quit);
            cloud.customRequest("device_work_records", "POST", Record, {});
            loop.exec();
        }
        requests += 100;
    }
    perRequest(state, requests);
}
BENCHMARK(BM_WorkRecordsOneByOne)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_RequestsOneByOne(benchmark::State &state)
{
    KTCloudService service;
    service.listen();
    NuvexaCloud cloud(service.restBase(), service.wsBase(), g_dir->filePath("requests.sqlite"));
    qint64 requests = 0;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            QEventLoop loop;
            cloud.customRequest("device_model", "PATCH", QJsonObject{{"code", i}},
                                [&loop](QNetworkReply *, bool) { loop.quit(); });
            loop.exec();
        }
        requests += 100;
    }
    perRequest(state, requests);
}
BENCHMARK(BM_RequestsOneByOne)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_PostsOneByOneThroughQNAM(benchmark::State &state)
{
    KTCloudService service;
    service.listen();
    QNetworkAccessManager network;
    const QByteArray body = QJsonDocument(Record).toJson(QJsonDocument::Compact);
    QNetworkRequest request(QUrl(service.restBase() + "device_work_records"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    qint64 requests = 0;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            QEventLoop loop;
            QNetworkReply *reply = network.post(request, body);
            QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            loop.exec();
            reply->deleteLater();
        }
        requests += 100;
    }
    perRequest(state, requests);
}
BENCHMARK(BM_PostsOneByOneThroughQNAM)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    benchmark::Initialize(&argc, argv);
    QTemporaryDir dir;
    g_dir = &dir;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
