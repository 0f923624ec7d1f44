#include "tools/host/settingswindow.h"

#include "tools/host/controlshown.h"
#include "tools/host/kthost.h"
#include "tools/host/ktparams.h"
#include "property/ktdeviceproperty.h"

#include <QAbstractEventDispatcher>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <limits>

namespace {

using HostControl::shownBy;

// What the user typed, as text for the value module.
QString typedText(QWidget *c)
{
    if (auto *s = qobject_cast<QSpinBox *>(c))
        return QString::number(s->value());
    if (auto *d = qobject_cast<QDoubleSpinBox *>(c))
        return QString::number(d->value(), 'f', d->decimals());
    if (auto *cb = qobject_cast<QComboBox *>(c))
        return cb->currentText().trimmed();
    if (auto *e = qobject_cast<QLineEdit *>(c))
        return e->text();
    return QString();
}

bool isEditor(QWidget *c)
{
    return qobject_cast<QSpinBox *>(c) || qobject_cast<QDoubleSpinBox *>(c) || qobject_cast<QComboBox *>(c)
           || qobject_cast<QLineEdit *>(c);
}

} // namespace

SettingsWindow::SettingsWindow(KTHost *host, int timeoutMs, QWidget *parent)
    : QWidget(parent), m_host(host), m_timeoutMs(timeoutMs), m_status(new QLabel)
{
    setWindowTitle(tr("KT-MRC600Cam settings"));
    KTDeviceInterface *d = host->device();
    auto *tabs = new QTabWidget;
    tabs->addTab(page(d->userProperty()), tr("Settings"));
    tabs->addTab(page(d->sysProperty()), tr("Machine"));
    collect(d->userProperty() + d->sysProperty());

    m_read = new QPushButton(tr("Read"));
    m_write = new QPushButton(tr("Write"));
    m_read->setObjectName("read");
    m_write->setObjectName("write");
    m_status->setObjectName("status");
    m_status->setWordWrap(true);
    connect(m_read, &QPushButton::clicked, this, &SettingsWindow::readAll);
    connect(m_write, &QPushButton::clicked, this, &SettingsWindow::writeChanged);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(m_read);
    buttons->addWidget(m_write);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(tabs, 1);
    layout->addLayout(buttons);
    resize(560, 480);

    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { finishStep(false); });
    connect(host, &KTHost::deviceMessage, this, [this](KTDeviceInterface::KTDeviceMessage kind, const QString &text) {
        if (kind != KTDeviceInterface::DevStatus)
            return;
        if (m_current && KTHost::isLinkLost(text))
            finishStep(false);
        setActivity(m_activity);
    });
    updateButtons();
    setActivity(tr("reading the machine"));
    // Opened, it shows the machine's values, never the controls' defaults.
    QMetaObject::invokeMethod(this, &SettingsWindow::readAll, Qt::QueuedConnection);
}

SettingsWindow::~SettingsWindow()
{
    if (m_current)
        finishStep(false);   // gives the values their own back
}

QWidget *SettingsWindow::page(const QStringList &keys)
{
    auto *content = new QWidget;
    auto *layout = new QVBoxLayout(content);
    for (const QString &key : keys) {
        if (KTDeviceProperty *p = m_host->device()->property_ptr(key.toLatin1().constData()))
            p->create_ui_ctrl(content, key, true);
    }
    layout->addStretch(1);
    auto *scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setWidget(content);
    return scroll;
}

void SettingsWindow::collect(const QStringList &keys)
{
    KTDeviceInterface *d = m_host->device();
    for (const QString &key : keys) {
        for (const KTParams::Leaf &leaf : KTParams::leavesOf(d, key)) {
            QWidget *control = leaf.p->uiControl();
            if (!control)
                continue;
            Item it;
            it.key = leaf.key;
            it.p = leaf.p;
            it.form = KTValue::formOf(d, leaf.key);
            it.control = control;
            if (!it.form.writable && isEditor(control)) {
                // Something the machine will not take is shown, not offered for editing.
                auto *label = new QLabel;
                label->setObjectName(leaf.key);
                label->setAlignment(Qt::AlignCenter);
                label->setTextInteractionFlags(Qt::TextSelectableByMouse);
                label->setMinimumHeight(control->minimumHeight());
                if (QLayout *l = control->parentWidget() ? control->parentWidget()->layout() : nullptr)
                    delete l->replaceWidget(control, label);
                delete control;
                it.control = label;
            }
            m_items.append(it);
        }
    }
}

SettingsWindow::Item *SettingsWindow::item(const QString &key)
{
    for (Item &it : m_items) {
        if (it.key == key)
            return &it;
    }
    return nullptr;
}

QStringList SettingsWindow::keys() const
{
    QStringList out;
    for (const Item &it : m_items)
        out << it.key;
    return out;
}

QWidget *SettingsWindow::controlFor(const QString &key) const
{
    for (const Item &it : m_items) {
        if (it.key == key)
            return it.control;
    }
    return nullptr;
}

QString SettingsWindow::statusText() const
{
    return m_status->text();
}

void SettingsWindow::setActivity(const QString &text)
{
    m_activity = text;
    const QString link = m_host->lastStatus().isEmpty() ? tr("not connected") : m_host->lastStatus();
    QString line = tr("Link: %1 | %2").arg(link, text);
    if (!m_problems.isEmpty())
        line += tr(" | failed: %1").arg(m_problems.join(QStringLiteral("; ")));
    m_status->setText(line);
}

void SettingsWindow::updateButtons()
{
    m_read->setEnabled(!busy());
    // Never write what was not first read: the controls would send their defaults.
    m_write->setEnabled(!busy() && m_hasRead);
}

void SettingsWindow::fill()
{
    for (Item &it : m_items) {
        if (!it.control)
            continue;
        if (it.control != it.p->uiControl()) {   // our own label for a read-only value
            qobject_cast<QLabel *>(it.control)->setText(KTValue::displayWithUnit(it.form, it.p->value()));
        } else {
            it.p->to_ui_ctrl();
            auto *combo = qobject_cast<QComboBox *>(it.control);
            if (combo && !KTParams::readerOf(m_host->device(), it.p))
                combo->setCurrentIndex(-1);   // the machine cannot tell: show no choice
        }
        it.shownAfterRead = shownBy(it.control);
    }
}

void SettingsWindow::readAll()
{
    if (busy())
        return;
    m_writing = false;
    m_failed = false;
    m_problems.clear();
    QList<KTDeviceProperty *> readers;
    for (const Item &it : qAsConst(m_items)) {
        KTDeviceProperty *reader = KTParams::readerOf(m_host->device(), it.p);
        if (reader && !readers.contains(reader))
            readers << reader;
    }
    for (KTDeviceProperty *reader : qAsConst(readers))
        m_queue.append({reader, nullptr});
    m_stepsDone = 0;
    m_stepsTotal = m_queue.size();
    updateButtons();
    startNext();
}

void SettingsWindow::writeChanged()
{
    if (!m_hasRead || busy())
        return;
    m_problems.clear();
    m_results.clear();
    QList<QPair<Item *, QVariant>> changes;
    for (Item &it : m_items) {
        if (!it.control || !it.form.writable || shownBy(it.control) == it.shownAfterRead)
            continue;
        const KTValue::Parsed parsed = KTValue::fromDisplay(it.form, typedText(it.control));
        if (!parsed.ok())
            m_problems << parsed.error;
        else
            changes.append({&it, parsed.raw});
    }
    if (!m_problems.isEmpty()) {
        setActivity(tr("nothing written"));
        emit writeFinished(false);
        return;
    }
    if (changes.isEmpty()) {
        setActivity(tr("nothing changed, nothing written"));
        emit writeFinished(true);
        return;
    }
    QStringList reasons;
    for (const auto &change : qAsConst(changes)) {
        const Item *it = change.first;
        const QString action = KTValue::actionOf(it->key);
        const QString rule = KTValue::senseRule(it->form, change.second);
        if (!action.isEmpty())
            reasons << tr("%1 %2").arg(it->key, action);
        if (!rule.isEmpty())
            reasons << tr("%1 = %2 makes no sense for the machine: %3").arg(it->key, typedText(it->control), rule);
    }
    if (!reasons.isEmpty() && !confirmed(reasons)) {
        setActivity(tr("not confirmed, nothing written"));
        emit writeFinished(false);
        return;
    }
    for (const auto &change : changes) {
        change.first->sent = change.second;
        change.first->typed = typedText(change.first->control);
        m_queue.append({KTParams::readerOf(m_host->device(), change.first->p), change.first});
    }
    m_writing = true;
    m_failed = false;
    m_stepsDone = 0;
    m_stepsTotal = m_queue.size();
    updateButtons();
    startNext();
}

bool SettingsWindow::confirmed(const QStringList &reasons)
{
    const QString question = tr("%1.\nWrite anyway?").arg(reasons.join(QStringLiteral(";\n")));
    if (m_confirm)
        return m_confirm(question);
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return false;   // a question no one can see is never answered yes
    return QMessageBox::question(this, tr("Write to the machine"), question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No)
           == QMessageBox::Yes;
}

void SettingsWindow::startNext()
{
    KTDeviceInterface *d = m_host->device();
    while (!m_queue.isEmpty()) {
        const Step step = m_queue.takeFirst();
        if (step.written) {
            step.written->p->setValue(step.written->sent);
            d->sendCMD(step.written->p->set_cmd_bytes());
            if (!step.reader) {
                m_results << tr("%1 sent (not verifiable)").arg(step.written->key);
                ++m_stepsDone;
                continue;
            }
            setActivity(tr("writing %1 (%2 of %3)").arg(step.written->key).arg(m_stepsDone + 1).arg(m_stepsTotal));
        } else {
            setActivity(tr("reading %1 of %2").arg(m_stepsDone + 1).arg(m_stepsTotal));
        }
        m_current = step.reader;
        m_currentWrite = step.written;
        m_targets.clear();
        m_originals.clear();
        for (const QString &key : m_current->value().toStringList()) {
            if (m_current->value().userType() != QMetaType::QStringList)
                break;
            if (KTDeviceProperty *child = m_current->property_ptr(key.toLatin1().constData()))
                m_targets << child;
        }
        if (m_current->value().userType() != QMetaType::QStringList)
            m_targets = {m_current};
        for (KTDeviceProperty *t : qAsConst(m_targets)) {
            m_originals << t->value();
            t->set_decode(KTHost::sentinelFor(t->value()));
        }
        // The reply is looked for each time the event loop has handled what
        // arrived, so it is seen at once without polling or blocking.
        m_idle = connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
                         &SettingsWindow::checkReply);
        m_timer.start(m_timeoutMs);
        d->sendCMD(m_current->get_cmd_bytes());
        updateButtons();
        return;
    }
    updateButtons();
    if (m_writing) {
        fill();
        setActivity(m_failed ? tr("written with failures: %1").arg(m_results.join(QStringLiteral(", ")))
                             : tr("written: %1").arg(m_results.join(QStringLiteral(", "))));
        emit writeFinished(!m_failed && m_problems.isEmpty());
        return;
    }
    if (!m_failed) {
        m_hasRead = true;
        fill();
        setActivity(tr("read %1 parameters from the machine").arg(m_stepsTotal));
    } else {
        setActivity(tr("the machine did not answer; Write stays off until a read succeeds"));
    }
    updateButtons();
    emit readFinished(!m_failed);
}

void SettingsWindow::checkReply()
{
    if (!m_current)
        return;
    for (int i = 0; i < m_targets.size(); ++i) {
        if (m_targets.at(i)->value().toString() != KTHost::sentinelFor(m_originals.at(i))) {
            finishStep(true);
            return;
        }
    }
}

void SettingsWindow::finishStep(bool answered)
{
    disconnect(m_idle);
    m_timer.stop();
    for (int i = 0; i < m_targets.size(); ++i) {
        if (m_targets.at(i)->value().toString() == KTHost::sentinelFor(m_originals.at(i)))
            m_targets.at(i)->set_decode(m_originals.at(i).toString());
    }
    const QString why = m_host->linkLost() ? tr("link lost (%1)").arg(m_host->lastStatus())
                                           : tr("no answer within %1 s").arg(m_timeoutMs / 1000.0);
    if (Item *w = m_currentWrite) {
        if (!answered)
            m_problems << tr("%1: %2").arg(w->key, why);
        else if (!KTValue::sameValue(w->form, w->sent, w->p->value()))
            m_problems << tr("%1: machine kept %2").arg(w->key, KTValue::displayWithUnit(w->form, w->p->value()));
        else if (const QString held = KTValue::roundedTo(w->form, w->typed, w->p->value()); !held.isEmpty())
            m_results << tr("%1 set to %2 (nearest the machine takes)").arg(w->key, held);
        else
            m_results << tr("%1 ok").arg(w->key);
        m_failed |= !answered || !m_problems.isEmpty();
    } else if (!answered) {
        m_problems << tr("%1: %2").arg(m_current ? m_current->label() : QString(), why);
        m_failed = true;
    }
    m_current = nullptr;
    m_currentWrite = nullptr;
    m_targets.clear();
    m_originals.clear();
    ++m_stepsDone;
    if (!answered) {
        // A machine that does not answer one read is not asked for the rest.
        for (const Step &step : qAsConst(m_queue)) {
            if (step.written)
                m_problems << tr("%1: not sent").arg(step.written->key);
        }
        m_queue.clear();
    }
    QMetaObject::invokeMethod(this, &SettingsWindow::startNext, Qt::QueuedConnection);
}
