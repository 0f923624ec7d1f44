#include "device/ktcommoninterface.h"
#include "models/ktmodelrow.h"

#include <QDateTime>

// Group builders of the 437 controller family: most settings are CCMD, and
// paired values travel through one command of their group.

namespace {
const QString none = QStringLiteral("");
}

void KTCommonInterface::init437(KTDeviceInterface *device)
{
    const QJsonObject workMode = ktComboWidget({tr("   速度优先"), tr("   平衡"), tr("   精度优先")});
    ktAttachRows(device, {
        {"STATUS", tr("状态"), none, 0, 0, 0, 0, UnCMD},
        {"DEVICE_STATUS", tr("电机状态"), none, none, 4, 0, 1, CCMD},
        {"TCP_PORT", tr("端口"), none, 9100, 0, 0, 0, UnCMD},
        {"FILE_PREVIEW", tr("预览"), none, QByteArray(), 0, 0, 0, UnCMD},
        {"TASK_FILE_INFO", tr("工作文件"), none, QJsonObject(), 0, 0, 0, UnCMD},
        {"GET_QRCODE", tr("获取二维码"), none, QVariant(), 11, 0, 1, CCMD},
        {"QRCODE_FILE", tr("二维码文件"), none, none, 55, 55, 1, CCMD},
        {"TASK_COPIES", tr("份数"), tr("份"), 1, 30, 30, 1, CCMD},
        {"TASK_PPLT", tr("pplt"), none, none, 0, 1, 1, PPLT},
        {"TASK_STOP", tr("停止"), none, 2, 27, 27, 1, CCMD},
        {"TASK_PAUSE", tr("暂停"), none, 0, 27, 27, 1, CCMD},
        {"TASK_RESUME", tr("继续"), none, 1, 27, 27, 1, CCMD},
        {"TASK_MODE", tr("任务模式"), none, 0, 32, 32, 1, CCMD},
        {"LAST_TIME", none, none, QDateTime::currentDateTime(), 0, 0, 0, UnCMD},
        {"CONNECT_MODE", tr("连接方式"), none, none, 0, 0, 0, UnCMD},
        {"DEVICE_CLOUD", tr("数据上传"), none, QJsonObject(), 0, 0, 0, UnCMD},
        {"WORK_MODE", tr("切割质量"), none, 0u, 64, 23, 1, CCMD, workMode},
    });
}

void KTCommonInterface::info_437(KTDeviceInterface *device)
{
    ktAttachRows(device, {
        {"FIRMWARE", tr("固件版本"), none, none, 51, 0, 1, CCMD, ktWidget("QLineEdit")},
        {"DEVICE_ID", tr("机器编号"), none, none, 45, 44, 1, CCMD, ktWidget("QLineEdit")},
        {"PCB_ID", tr("PCB编号"), none, none, 47, 46, 1, CCMD, ktWidget("QLineEdit")},
        {"PCB_VERSION", tr("PCB版本"), none, none, 49, 48, 1, CCMD, ktWidget("QLineEdit")},
    });
}

void KTCommonInterface::camera_offset_437(KTDeviceInterface *device)
{
    const QStringList keys{QStringLiteral("CAMERA_OFFSET_X"), QStringLiteral("CAMERA_OFFSET_Y")};
    const QJsonObject offset = ktRangeWidget("QDoubleSpinBox", -1000.0, 1000.0);
    ktAttachRows(device, {
        {"CAMERA_OFFSET_X", tr("x"), none, 0.0, 0, 0, 0, UnCMD, offset},
        {"CAMERA_OFFSET_Y", tr("y"), none, 0.0, 0, 0, 0, UnCMD, offset},
        {"CAMERA_OFFSET", tr("摄像头偏移"), QStringLiteral("(mm x mm)"), keys, 16, 15, 1, CCMD,
         ktWidget("QGroupBox"), keys, KTModelRow::ChildrenFirst},
    });
}

void KTCommonInterface::scale_437(KTDeviceInterface *device)
{
    const QJsonObject scale = ktRangeWidget("QDoubleSpinBox", 0, 200);
    ktAttachRows(device, {
        {"SCALE_X", tr("x"), none, 1.0, 61, 20, 1, CCMD, scale},
        {"SCALE_Y", tr("y"), none, 1.0, 62, 21, 1, CCMD, scale},
        {"SCALE", tr("缩放"), none, QVariant(), 0, 0, 0, UnCMD, ktWidget("QGroupBox"),
         {QStringLiteral("SCALE_X"), QStringLiteral("SCALE_Y")}},
    });
}

void KTCommonInterface::work_area_437(KTDeviceInterface *device)
{
    const QStringList keys{QStringLiteral("WORKAREA_X"), QStringLiteral("WORKAREA_Y")};
    const QJsonObject area = ktRangeWidget("QDoubleSpinBox", 10, 10000);
    ktAttachRows(device, {
        {"WORKAREA_X", tr("x"), none, 0.0, 0, 0, 0, UnCMD, area},
        {"WORKAREA_Y", tr("y"), none, 0.0, 0, 0, 0, UnCMD, area},
        {"WORKAREA", tr("幅宽"), QStringLiteral("(mm x mm)"), keys, 63, 22, 1, CCMD, ktWidget("QGroupBox"), keys},
    });
}
