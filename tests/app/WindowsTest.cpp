#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include <functional>

#include "AppTestSupport.h"
#include "app/Form1.h"
#include "app/frmFXOpts.h"
#include "dsp/clsDSP.h"

namespace tavrino {
namespace {

using test::FormRig;
using test::WaitFor;

// Runs `act` on the next modal window of type W while it is up.
template <typename W>
class WhenModal {
public:
    explicit WhenModal(std::function<void(W&)> act) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this, act] {
            auto* w = dynamic_cast<W*>(QApplication::activeModalWidget());
            if (w == nullptr) return;
            timer_.stop();
            ++seen;
            act(*w);
        });
        timer_.start();
    }
    int seen = 0;

private:
    QTimer timer_;
};

class WindowsTest : public ::testing::Test, protected FormRig {};

TEST_F(WindowsTest, SettingsButtonEditsTheLiveChainInOneReusedWindow) {
    Load("tone");
    form->Effects().EchoAmp(0.25f);
    frmFXOpts* first = nullptr;
    {
        WhenModal<frmFXOpts> answer([&](frmFXOpts& w) {
            first = &w;
            EXPECT_EQ(w.sldReverbAmp->value(), 2);
            EXPECT_EQ(w.parentWidget(), form.get());
            w.sldReverbAmp->setValue(7);  // as the user moves it
            w.cmdClose->click();
        });
        form->cmdFXOpts->click();  // returns when the window closes
        EXPECT_EQ(answer.seen, 1);
    }
    EXPECT_FLOAT_EQ(form->Effects().EchoAmp(), 0.7f);
    EXPECT_EQ(form->FXOptions(), first);
    {
        WhenModal<frmFXOpts> answer([&](frmFXOpts& w) {
            EXPECT_EQ(&w, first);
            EXPECT_EQ(w.sldReverbAmp->value(), 7);
            EXPECT_EQ(w.sldEQ.size(), static_cast<size_t>(form->Effects().EqualizerBands()));
            w.close();
        });
        form->cmdFXOpts->click();
        EXPECT_EQ(answer.seen, 1);
    }
}

}  // namespace
}  // namespace tavrino
