#pragma once

#include <QTimer>
#include <QWidget>

namespace orvel {

// A small spinning progress indicator that is not drawn while stopped.
class Spinner final : public QWidget {
    Q_OBJECT

public:
    explicit Spinner(QWidget* parent = nullptr);

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return ticker_.isActive(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer ticker_;
    int phase_ = 0;
};

} // namespace orvel
