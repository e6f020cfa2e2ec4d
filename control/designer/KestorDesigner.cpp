// The Qt Designer plugin: puts the status control on the widget box page
// "Kestor". Designer creates it in the designing state, so a layout can set
// Active without the designer ever opening a port. The bare driver has no
// widget and so no place in Designer; code creates it.
#include <QIcon>
#include <QtPlugin>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

#include "KestorFPrtCtrl.h"

class TKestorFPrtCtrlPlugin : public QObject, public QDesignerCustomWidgetInterface {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetInterface")
    Q_INTERFACES(QDesignerCustomWidgetInterface)

public:
    QString name() const override { return QStringLiteral("TKestorFPrtCtrl"); }
    QString group() const override { return QStringLiteral("Kestor"); }
    QString toolTip() const override {
        return QStringLiteral("Status control of a KESTOR register");
    }
    QString whatsThis() const override {
        return QStringLiteral(
            "Owns a KESTOR driver and shows the connected register with its line state.");
    }
    QString includeFile() const override { return QStringLiteral("KestorFPrtCtrl.h"); }
    QIcon icon() const override { return QIcon(QStringLiteral(":/KEST_207F")); }
    bool isContainer() const override { return false; }

    QWidget* createWidget(QWidget* Parent) override {
        auto* control = new TKestorFPrtCtrl(Parent);
        control->SetDesigning(true);
        // Hidden until a layout shows it; in the designer it is always seen.
        control->show();
        return control;
    }

    // A new control is stored visible, under the name the window gives it.
    QString domXml() const override {
        return QStringLiteral(
            "<ui language=\"c++\">\n"
            " <widget class=\"TKestorFPrtCtrl\" name=\"KestorFPrt\">\n"
            "  <property name=\"geometry\">\n"
            "   <rect><x>0</x><y>0</y><width>155</width><height>155</height></rect>\n"
            "  </property>\n"
            "  <property name=\"visible\"><bool>true</bool></property>\n"
            " </widget>\n"
            "</ui>\n");
    }
};

#include "KestorDesigner.moc"
