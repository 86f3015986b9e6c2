#include "ui/SpotifyConnectPrompt.h"

#include <QMessageBox>
#include <QPushButton>

using namespace Qt::StringLiterals;

bool askToConnectSpotify(QWidget *parent)
{
    QMessageBox box(QMessageBox::Information, u"Spotify Not Connected"_s,
                    u"Spotify Not Connected"_s, QMessageBox::NoButton, parent);
    box.setInformativeText(u"Connect your Spotify account so Vesper can save songs to your "
                           "Liked Songs. Connect now?"_s);
    QPushButton *connect = box.addButton(u"Connect Now"_s, QMessageBox::AcceptRole);
    box.addButton(u"Cancel"_s, QMessageBox::RejectRole);
    box.setDefaultButton(connect);
    box.exec();
    return box.clickedButton() == connect;
}
