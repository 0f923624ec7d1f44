#include "device/ktcommoninterface.h"
#include "models/ktmodelrow.h"

#include <QDateTime>

// Group builders of the 157 controller family. Each table is one row per
// parameter, in build order: key, label, unit, default, get, set, length,
// type, control, children.

namespace {
const QString none = QStringLiteral("");
}

void KTCommonInterface::init157(KTDeviceInterface *device)
{
    const QJsonObject workMode = ktComboWidget({tr("   速度优先"), tr("   平衡"), tr("   精度优先")});
    ktAttachRows(device, {
        {"STATUS", tr("状态"), none, 0, 0, 0, 0, UnCMD},
        {"TCP_PORT", tr("端口"), none, 9100, 0, 0, 0, UnCMD},
        {"CONNECT_MODE", tr("连接方式"), none, none, 0, 0, 0, UnCMD},
        {"QRCODE_COPIES", tr("份数"), tr("份"), 1, 54, 54, 1, CCMD},
        {"QRCODE_FILE", tr("二维码文件"), none, none, 55, 55, 1, CCMD},
        {"TASK_COPIES", tr("份数"), tr("份"), 1, 1, 1, 1, NUM},
        {"TASK_PLT", tr("plt"), none, none, 1, 1, 1, PLT},
        {"TASK_STOP", tr("停止"), none, 2, 125, 125, 1, CMD},
        {"TASK_PAUSE", tr("暂停"), none, 0, 125, 125, 1, CMD},
        {"TASK_RESUME", tr("继续"), none, 1, 125, 125, 1, CMD},
        {"QR_PLT", tr("QR PLT"), none, none, 1, 1, 1, QRPLT},
        {"FLAG_POINT", tr("设原点"), none, 1, 87, 87, 1, CMD},
        {"BACK_FLAG_POINT", tr("回原点"), none, 1, 93, 93, 1, CMD},
        {"TASK_MODE", tr("任务模式"), none, 0, 0, 0, 0, UnCMD},
        {"LAST_TIME", none, none, QDateTime::currentDateTime(), 0, 0, 0, UnCMD},
        {"HEARTBEAT", tr("心跳"), tr("秒"), 2, 1010, 1010, 1, CCMD},
        {"FILE_PREVIEW", tr("预览"), none, QByteArray(), 0, 0, 0, UnCMD},
        {"TASK_FILE_INFO", tr("工作文件"), none, QJsonObject(), 0, 0, 0, UnCMD},
        {"WORK_MODE", tr("切割质量"), none, 0u, 27, 27, 1, CMD, workMode},
        {"PU_SPEED", tr("PU 速度"), none, 0u, 26, 26, 1, CMD, ktRangeWidget("QSpinBox", 10, 700)},
        {"DEVICE_CLOUD", tr("数据上传"), none, QJsonObject(), 0, 0, 0, UnCMD},
    });
}

void KTCommonInterface::info_157(KTDeviceInterface *device)
{
    const QStringList infoKeys{QStringLiteral("DEVICE_MODEL"), QStringLiteral("DEVICE_ID"),
                               QStringLiteral("PCB_ID"),       QStringLiteral("PCB_VERSION"),
                               QStringLiteral("FIRMWARE"),     QStringLiteral("DEVICE_CONFIG_NO")};
    ktAttachRows(device, {
        {"FIRMWARE", tr("固件版本"), none, none, 0, 0, 1, CCMD, ktWidget("QLineEdit")},
        {"DEVICE_ID", tr("机器编号"), none, none, 0, 44, 1, CCMD, ktWidget("QLineEdit")},
        {"PCB_ID", tr("PCB编号"), none, none, 0, 46, 1, CCMD, ktWidget("QLineEdit")},
        {"PCB_VERSION", tr("PCB版本"), none, none, 0, 48, 1, CCMD, ktWidget("QLineEdit")},
        {"DEVICE_CONFIG_NO", tr("配置号"), none, none, 0, 0, 0, UnCMD, ktWidget("QLabel")},
        {"DEVICE_UNIQUE_ID", tr("Unique ID"), none, none, 57, 0, 1, CCMD, ktWidget("QLabel")},
        {"DEVICE_MODEL", tr("型号"), none, QStringLiteral("KT-PXT7316EVACam"), 0, 0, 0, UnCMD, ktWidget("QLabel")},
        {"DEVICE_INFO", tr("机器信息"), none, infoKeys, 2, 0, 1, CCMD, QJsonObject(), infoKeys},
    });
}

void KTCommonInterface::camera_offset_157(KTDeviceInterface *device)
{
    const QJsonObject offset = ktRangeWidget("QDoubleSpinBox", -1000.0, 1000.0, 0.005);
    ktAttachRows(device, {
        {"CAMERA_OFFSET_X", tr("x"), none, 0u, 11, 11, 3, CMD, offset},
        {"CAMERA_OFFSET_Y", tr("y"), none, 0u, 14, 14, 3, CMD, offset},
        {"CAMERA_OFFSET", tr("摄像头偏移"), QStringLiteral("(mm x mm)"), QVariant(), 0, 0, 0, UnCMD,
         ktWidget("QGroupBox"), {QStringLiteral("CAMERA_OFFSET_X"), QStringLiteral("CAMERA_OFFSET_Y")},
         KTModelRow::ChildrenFirst},
        {"FACTORY_SET", tr("出厂设置"), none, 0, 0, 67, 1, CCMD},
    });
}

void KTCommonInterface::tool_space_157(KTDeviceInterface *device)
{
    const QJsonObject offset = ktRangeWidget("QDoubleSpinBox", -1000.0, 1000.0, 0.005);
    ktAttachRows(device, {
        {"TOOL_SPACE_X", tr("x"), none, 0u, 5, 5, 3, CMD, offset},
        {"TOOL_SPACE_Y", tr("y"), none, 0u, 8, 8, 3, CMD, offset},
        {"TOOL_SPACE", tr("工具偏移"), QStringLiteral("(mm x mm)"), QVariant(), 0, 0, 0, UnCMD,
         ktWidget("QGroupBox"), {QStringLiteral("TOOL_SPACE_X"), QStringLiteral("TOOL_SPACE_Y")}},
    });
}

void KTCommonInterface::move_157(KTDeviceInterface *device)
{
    ktAttachRows(device, {
        {"MOVE_X", tr("X 移动"), none, 0, 82, 82, 1, CMD},
        {"MOVE_Y", tr("Y 移动"), none, 0, 83, 83, 1, CMD},
    });
}

void KTCommonInterface::scale_157(KTDeviceInterface *device)
{
    const QJsonObject scale = ktFactorWidget("QLineEdit", 0.0001);
    ktAttachRows(device, {
        {"SCALE_X", tr("x"), none, 0u, 24, 24, 1, CMD, scale},
        {"SCALE_Y", tr("y"), none, 0u, 25, 25, 1, CMD, scale},
        {"SCALE", tr("缩放"), none, QVariant(), 0, 0, 0, UnCMD, ktWidget("QGroupBox"),
         {QStringLiteral("SCALE_X"), QStringLiteral("SCALE_Y")}},
    });
}

void KTCommonInterface::work_area_157(KTDeviceInterface *device)
{
    const QJsonObject area = ktFactorWidget("QLineEdit", 0.5);
    ktAttachRows(device, {
        {"WORKAREA_X", tr("x"), none, 0u, 28, 28, 1, CMD, area},
        {"WORKAREA_Y", tr("y"), none, 0u, 29, 29, 1, CMD, area},
        {"WORKAREA", tr("幅宽"), QStringLiteral("(mm x mm)"), QVariant(), 0, 0, 0, UnCMD, ktWidget("QGroupBox"),
         {QStringLiteral("WORKAREA_X"), QStringLiteral("WORKAREA_Y")}},
    });
}

void KTCommonInterface::feed_157(KTDeviceInterface *device)
{
    ktAttachRows(device, {
        {"AUTO_FEED", tr("自动送料"), none, 0u, 134, 134, 1, CMD, ktComboWidget({tr("   关"), tr("   开")})},
        {"FEED_MODEL", tr("送料模式"), none, 0u, 133, 133, 1, CMD,
         ktComboWidget({tr("   同步送料"), tr("   异步送料")})},
        {"FEED_LENGTH", tr("送料距离"), QStringLiteral("mm"), 0u, 135, 135, 1, CMD, ktWidget("QSpinBox")},
        {"FEED_CENTER", tr("横梁中心距离"), QStringLiteral("mm"), 0u, 136, 136, 1, CMD, ktWidget("QSpinBox")},
        {"FAN_DELAY", tr("气泵延时"), QStringLiteral("ms"), 0u, 137, 137, 1, CMD,
         ktRangeWidget("QSpinBox", 0, 10000.0)},
        {"FEED_SPEED", tr("送料速度"), QStringLiteral("mm/s"), 0u, 138, 138, 1, CMD, ktWidget("QSpinBox")},
        {"FEED", tr("送料"), none, QVariant(), 0, 0, 0, UnCMD, ktWidget("QTabWidget"),
         {QStringLiteral("AUTO_FEED"), QStringLiteral("FEED_MODEL"), QStringLiteral("FEED_LENGTH"),
          QStringLiteral("FEED_CENTER"), QStringLiteral("FEED_SPEED"), QStringLiteral("FAN_DELAY")}},
    });
}

void KTCommonInterface::sp1_157(KTDeviceInterface *device)
{
    ktAttachRows(device, {
        {"SP1_TOOL", tr("工具类型"), none, 0u, 128, 128, 1, CMD, ktComboWidget({tr("  拖刀"), tr("  转刀")})},
        {"SP1_SPEED", tr("速度"), QStringLiteral("(mm/s)"), 0u, 1, 1, 1, CMD, ktRangeWidget("QSpinBox", 10, 700)},
        {"SP1_PRESSURE", tr("压力"), QStringLiteral("(gf)"), 0u, 2, 2, 1, CMD,
         ktRangeWidget("QSpinBox", 0, 1900, 3.1666666666666665)},
        {"SP1_ANGLE", tr("转刀校准"), QStringLiteral("(°)"), 0u, 131, 131, 1, CMD,
         ktRangeWidget("QSpinBox", -360, 360)},
        {"SP1", tr("SP1"), none, QVariant(), 0, 0, 0, UnCMD, ktWidget("QTabWidget"),
         {QStringLiteral("SP1_TOOL"), QStringLiteral("SP1_SPEED"), QStringLiteral("SP1_PRESSURE"),
          QStringLiteral("SP1_ANGLE")},
         KTModelRow::ChildrenFirst},
    });
}

void KTCommonInterface::sp2_157(KTDeviceInterface *device)
{
    ktAttachRows(device, {
        {"SP2_SPEED", tr("速度"), QStringLiteral("(mm/s)"), 0u, 3, 3, 1, CMD, ktRangeWidget("QSpinBox", 10, 700)},
        {"SP2_PRESSURE", tr("压力"), QStringLiteral("(gf)"), 0u, 4, 4, 1, CMD,
         ktRangeWidget("QSpinBox", 0, 1900, 3.1666666666666665)},
        {"SP2_TOOL", tr("工具类型"), none, 0u, 129, 129, 1, CMD, ktComboWidget({tr("拖刀"), tr("转刀")})},
        {"SP2_ANGLE", tr("转刀校准"), QStringLiteral("(°)"), 0u, 132, 132, 1, CMD,
         ktRangeWidget("QSpinBox", -360, 360)},
        {"SP2", tr("SP2"), none, QVariant(), 0, 0, 0, UnCMD, ktWidget("QTabWidget"),
         {QStringLiteral("SP2_TOOL"), QStringLiteral("SP2_SPEED"), QStringLiteral("SP2_PRESSURE"),
          QStringLiteral("SP2_ANGLE")}},
    });
}
