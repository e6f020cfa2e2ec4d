// The Qt Designer plugin as Designer loads it: the status control on the
// page "Kestor", created in the designing state, so that switching Active
// on and off opens no port.
#include <QPluginLoader>
#include <QTest>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

class TDesignerPluginTest : public QObject {
    Q_OBJECT

private slots:
    void CreatesTheControlForDesigning() {
        QPluginLoader loader(QStringLiteral(KESTOR_DESIGNER_PLUGIN));
        auto* plugin = qobject_cast<QDesignerCustomWidgetInterface*>(loader.instance());
        QVERIFY2(plugin, qPrintable(loader.errorString()));
        QCOMPARE(plugin->name(), QStringLiteral("TKestorFPrtCtrl"));
        QCOMPARE(plugin->group(), QStringLiteral("Kestor"));
        QCOMPARE(plugin->includeFile(), QStringLiteral("KestorFPrtCtrl.h"));
        QVERIFY(plugin->domXml().contains(QStringLiteral("class=\"TKestorFPrtCtrl\"")));
        QVERIFY(!plugin->icon().isNull());

        QWidget form;
        QWidget* control = plugin->createWidget(&form);
        QCOMPARE(control->metaObject()->className(), "TKestorFPrtCtrl");
        QVERIFY(!control->isHidden());
        QCOMPARE(control->size(), QSize(155, 155));
        // No register anywhere: a real connection would fail at once.
        QVERIFY(control->setProperty("PortNum", 24));
        QVERIFY(control->setProperty("Active", true));
        QVERIFY(control->property("Active").toBool());
        QVERIFY(control->setProperty("Active", false));
        QVERIFY(!control->property("Active").toBool());
    }
};

QTEST_MAIN(TDesignerPluginTest)
#include "DesignerPluginTest.moc"
