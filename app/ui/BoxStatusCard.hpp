#pragma once

#include "app/services/agent/AgentReplies.hpp"

#include "app/ui/Card.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QLabel;

namespace corvane {

class ElidedLabel;

// The box's load while its agent reports it: tiles for graphics, processor, memory and storage, and a
// footer with the graphics card, the temperature and the time since the box started.
class BoxStatusCard final : public Card {
    Q_OBJECT
public:
    struct Tile {
        std::string label;
        std::string value;
        double fraction = 0;  // nominally 0...1; above 0.9 the bar turns orange
    };

    explicit BoxStatusCard(QWidget* parent = nullptr);
    void show(const AgentClient::BoxStatus& status);

    static std::vector<Tile> tiles(const AgentClient::BoxStatus& status);
    static std::string footer(const AgentClient::BoxStatus& status);
    static std::string duration(std::uint64_t seconds);

private:
    std::optional<AgentClient::BoxStatus> shown_;
    QWidget* tileRow_;
    ElidedLabel* footer_;
};

} // namespace corvane
