// kt-cloud-service: a local stand-in for the cloud service, on 127.0.0.1.
#include "tools/cloud-service/ktcloudservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QTextStream>

#include "tools/common/ktsignalnotifier.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt-cloud-service");
    QCommandLineParser parser;
    parser.setApplicationDescription("Local stand-in for the cloud service (REST and WebSocket relay).");
    parser.addHelpOption();
    parser.addOptions({
        {"rest-port", "REST port (0: any free port).", "port", "0"},
        {"ws-port", "Relay port (0: any free port).", "port", "0"},
        {"state", "Keep devices, models and work records in this JSON file.", "file"},
        {"fail", "Answer every request (or those of --fault-path) with this HTTP status.", "status"},
        {"hang", "Never answer (the client's time-out ends the request)."},
        {"bad-json", "Answer with a body that is not JSON."},
        {"lose-answer", "Handle each request, then close the connection without answering."},
        {"fault-path", "Limit the fault to one resource, such as device.", "path"},
        {"print-records", "Print each work record as it arrives."},
    });
    parser.process(app);

    KTCloudService service;
    if (parser.isSet("state") && !service.setStateFile(parser.value("state"))) {
        QTextStream(stderr) << "cannot read the state file " << parser.value("state")
                            << ": not a state file of this service; move it away or name another\n";
        return 1;
    }
    const QString faultPath = parser.value("fault-path");
    if (parser.isSet("fail"))
        service.setFault(KTCloudService::Status, parser.value("fail").toInt(), faultPath);
    else if (parser.isSet("hang"))
        service.setFault(KTCloudService::Hang, 0, faultPath);
    else if (parser.isSet("bad-json"))
        service.setFault(KTCloudService::BadJson, 200, faultPath);
    else if (parser.isSet("lose-answer"))
        service.setFault(KTCloudService::LoseAnswer, 0, faultPath);

    if (!service.listen(quint16(parser.value("rest-port").toUInt()), quint16(parser.value("ws-port").toUInt()))) {
        QTextStream(stderr) << "cannot listen on 127.0.0.1\n";
        return 1;
    }
    QTextStream out(stdout);
    out << "REST " << service.restBase() << "\n" << "WS " << service.wsBase() << "\n";
    out.flush();
    if (parser.isSet("print-records")) {
        QObject::connect(&service, &KTCloudService::workRecordStored, [&out](const QJsonObject &record) {
            out << "work record: " << QJsonDocument(record).toJson(QJsonDocument::Compact) << "\n";
            out.flush();
        });
    }

    ktOnTerminationSignal([] { QCoreApplication::quit(); });
    return app.exec();
}
