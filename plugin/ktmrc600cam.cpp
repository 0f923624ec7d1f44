#include "plugin/ktmrc600cam.h"
#include "property/ktdeviceproperty.h"
#include "models/ktmodelrow.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>

namespace {

// Every device holds a share of one catalogue, installed while any device
// lives: a thousand devices cost the application one translator, not a
// thousand lookups on every tr() that misses.
QSharedPointer<QTranslator> sharedCatalogue()
{
    static QWeakPointer<QTranslator> shared;
    QSharedPointer<QTranslator> catalogue = shared.toStrongRef();
    if (!catalogue) {
        catalogue.reset(new QTranslator);
        const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/translations");
        catalogue->load(QStringLiteral("KT-MRC600Cam.qm"), dir, QString(), QString());
        // Installed even when empty, so every device object behaves the same.
        QCoreApplication::installTranslator(catalogue.data());
        shared = catalogue;
    }
    return catalogue;
}

} // namespace

KTMRC600Cam::KTMRC600Cam(QObject *parent)
    : KTCommonInterface(parent)
{
    translator = sharedCatalogue();
}

KTMRC600Cam::~KTMRC600Cam() = default;

KTDeviceInterface *KTMRC600Cam::initInstance()
{
    auto *device = new KTMRC600Cam;
    init157(device);
    camera_offset_157(device);
    tool_space_157(device);
    info_157(device);
    move_157(device);
    scale_157(device);
    work_area_157(device);

    const QString none = QStringLiteral("");
    const QStringList speeds{tr("   关闭"), tr("   很慢"), tr("   慢"), tr("   中速"), tr("   快"), tr("   很快")};
    ktAttachRows(device, {
        {"SP2_SPEED", tr("切割速度"), QStringLiteral("(mm/s)"), 0u, 3, 3, 1, CMD,
         ktRangeWidget("QSpinBox", 10, 1050, 1.5)},
        {"SP2_PRESSURE", tr("切割压力"), QStringLiteral("(gf)"), 0u, 4, 4, 1, CMD, ktRangeWidget("QSpinBox", 0, 600)},
        {"FEED_SPEED", tr("送纸速度"), none, 0u, 44, 44, 1, CMD, ktComboWidget(speeds, 0.04)},
        {"ROLL_SPEED", tr("收卷速度"), none, 0u, 45, 45, 1, CMD, ktComboWidget(speeds, 0.04)},
        {"PAGE_SPACE", tr("纸张间距"), none, 0u, 43, 43, 1, CMD, ktRangeWidget("QDoubleSpinBox", 0, 20, 0.1)},
        {"PAGE_TURN", tr("纸张翻转"), none, 0u, 218, 218, 1, CMD, ktComboWidget({tr("   关闭"), tr("   开启")})},
        {"DEVICE_MODEL_NAME", tr("名称"), none, tr("桌面式标签机"), 0, 0, 0, UnCMD, ktWidget("QLabel")},
    });
    return device;
}

QStringList KTMRC600Cam::userProperty()
{
    return {QStringLiteral("WORK_MODE"),  QStringLiteral("SP2_SPEED"),  QStringLiteral("SP2_PRESSURE"),
            QStringLiteral("FEED_SPEED"), QStringLiteral("ROLL_SPEED"), QStringLiteral("PAGE_SPACE"),
            QStringLiteral("PAGE_TURN"),  QStringLiteral("CAMERA_OFFSET")};
}

QStringList KTMRC600Cam::sysProperty()
{
    return {QStringLiteral("DEVICE_MODEL_NAME"), QStringLiteral("DEVICE_INFO"), QStringLiteral("FIRMWARE"),
            QStringLiteral("DEVICE_ID"),         QStringLiteral("PCB_ID"),      QStringLiteral("PCB_VERSION"),
            QStringLiteral("WORKAREA"),          QStringLiteral("SCALE"),       QStringLiteral("DEVICE_CONFIG_NO"),
            QStringLiteral("DEVICE_UNIQUE_ID")};
}

void KTMRC600Cam::decode_cmd(QString frame)
{
    const KTFrame::Reply reply = KTFrame::parseReply(frame);
    if (reply.word == KTFrame::Reply::Invalid)
        return;

    if (reply.word == KTFrame::Reply::Ccmd && reply.elementCount == 2) {
        // A short reply: the value of a read, or the result of a write.
        const KTParameterIndex::Match m = find_parameter(CCMD, reply.number);
        if (m.stopped)
            return;
        if (KTDeviceProperty *p = m.parameter) {
            // The get command is tested first.
            if (reply.number == p->get_cmd_int()) {
                p->set_decode(reply.element1());
            } else {
                QPointer<KTMRC600Cam> guard(this);
                p->ret_Status(reply.status);
                if (!guard)
                    return;   // a host slot deleted the device
            }
        }
    }
    dispatch_reply(reply);
}
