#include "tools/host/settingswindow.h"

#include "tools/host/kthost.h"
#include "property/ktdeviceproperty.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

SettingsWindow::SettingsWindow(KTHost *host, QWidget *parent)
    : QWidget(parent), m_host(host), m_status(new QLabel)
{
    setWindowTitle(tr("KT-MRC600Cam settings"));
    KTDeviceInterface *d = host->device();
    auto *tabs = new QTabWidget;
    tabs->addTab(page(d->userProperty()), tr("Settings"));
    tabs->addTab(page(d->sysProperty()), tr("Machine"));
    m_keys = d->userProperty() + d->sysProperty();

    auto *read = new QPushButton(tr("Read"));
    auto *write = new QPushButton(tr("Write"));
    read->setObjectName("read");
    write->setObjectName("write");
    connect(read, &QPushButton::clicked, this, &SettingsWindow::readAll);
    connect(write, &QPushButton::clicked, this, &SettingsWindow::writeAll);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(read);
    buttons->addWidget(write);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(tabs, 1);
    layout->addLayout(buttons);
    resize(560, 480);
}

QWidget *SettingsWindow::page(const QStringList &keys)
{
    auto *content = new QWidget;
    auto *layout = new QVBoxLayout(content);
    for (const QString &key : keys) {
        if (KTDeviceProperty *p = m_host->device()->property_ptr(key.toLatin1().constData())) {
            p->create_ui_ctrl(content, key, true);
            p->to_ui_ctrl();
        }
    }
    layout->addStretch(1);
    auto *scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setWidget(content);
    return scroll;
}

QList<KTDeviceProperty *> SettingsWindow::leaves(const QStringList &keys) const
{
    QList<KTDeviceProperty *> out;
    for (const QString &key : keys) {
        KTDeviceProperty *p = m_host->device()->property_ptr(key.toLatin1().constData());
        if (!p)
            continue;
        const auto children = p->childProperties();
        if (children.isEmpty() || !p->get_cmd_bytes().isEmpty()) {
            out << p;
        } else {
            for (const auto &c : children)
                out << c.second;
        }
    }
    return out;
}

void SettingsWindow::readAll()
{
    int read = 0, failed = 0;
    for (KTDeviceProperty *p : leaves(m_keys)) {
        if (!KTHost::canRead(p))
            continue;
        QString error;
        if (m_host->read(p, 3000, &error))
            ++read;
        else
            ++failed;
    }
    for (const QString &key : m_keys) {
        if (KTDeviceProperty *p = m_host->device()->property_ptr(key.toLatin1().constData()))
            p->to_ui_ctrl();
    }
    m_status->setText(tr("%1 read, %2 without answer").arg(read).arg(failed));
}

void SettingsWindow::writeAll()
{
    int written = 0;
    for (const QString &key : m_keys) {
        if (KTDeviceProperty *p = m_host->device()->property_ptr(key.toLatin1().constData()))
            p->from_ui_ctrl();
    }
    for (KTDeviceProperty *p : leaves(m_keys)) {
        const QByteArray frame = p->set_cmd_bytes();
        if (frame.isEmpty())
            continue;
        m_host->device()->sendCMD(frame);
        ++written;
    }
    m_status->setText(tr("%1 written").arg(written));
}
