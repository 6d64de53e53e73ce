// SPDX-License-Identifier: GPL-3.0-or-later
#include "charts.h"

#include <string>
#include <vector>

#include "raster.h"

namespace vorn::imagegen {

namespace {

constexpr int kHeight = 264;
constexpr int kBase = kHeight - kBaseFromBottom;     // row the bars stand on
constexpr int kTitleBand = 28;                       // rows 0..27 hold the title
constexpr int kPlotTop = kTitleBand + 4;             // frame row above the grid
constexpr int kCardWidth = 146;                      // the numbers' card
constexpr int kCardToNumbers = kCardWidth - kNumbersFromRight;

// Colours of the pictures.
constexpr std::uint32_t kPage = 0xe6eaef, kBorder = 0x7d8996;
constexpr std::uint32_t kTitleTop = 0x3a5068, kTitleBottom = 0x1f2c3a, kAccent = 0xe8892b;
constexpr std::uint32_t kPlot = 0xfbfcfd, kPlotFrame = 0xb4bfcb, kGrid = 0xe2e7ed, kAxis = 0x5f6b79;
constexpr std::uint32_t kAverageBand = 0xfcf1de, kAverageEdge = 0xf0d7ad;
constexpr std::uint32_t kCard = 0xf5f7f9, kCardFrame = 0xc0c9d4, kField = 0xffffff, kFieldFrame = 0xcdd5de;
constexpr std::uint32_t kCaption = 0x3b4857, kLabel = 0x4a5665, kFaint = 0x94a0ad;

const std::string& caption_font() {
    static const std::string f = font_path("DejaVuSans-Bold.ttf");
    return f;
}
const std::string& label_font() {
    static const std::string f = font_path("DejaVuSansCondensed.ttf");
    return f;
}

struct ChartDesign {
    const char* file;
    int width;
    int average_slot;
    std::vector<std::string> labels;   // under slots 0, 1, ...
    const char* period_caption;        // caption of the period's total
    const char* per;                   // what one bar counts
    bool staggered = false;            // labels too wide for one row alternate between two
};

int bar_left(int slot) { return kSlotPitch * slot + kBarLeft; }
int average_left(int slot) { return kSlotPitch * slot + kAverageLeft; }

std::vector<std::string> numbered(int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i) out.push_back(std::to_string(i));
    return out;
}

// Frame, title band and page.
void draw_page(Canvas& c) {
    int w = c.width();
    c.vgradient(0, 0, w - 1, kTitleBand - 1, rgb(kTitleTop), rgb(kTitleBottom));
    c.fill_rect(0, 0, w - 1, 0, rgb(0x56708c));
    c.fill_rect(0, kTitleBand, w - 1, kTitleBand + 1, rgb(kAccent));
    c.fill_rect(0, kTitleBand + 2, w - 1, kTitleBand + 2, rgb(0xc9d1da));
    c.fill_rect(0, 0, 0, kHeight - 1, rgb(kBorder));
    c.fill_rect(w - 1, 0, w - 1, kHeight - 1, rgb(kBorder));
    c.fill_rect(0, kHeight - 1, w - 1, kHeight - 1, rgb(kBorder));
}

// The plot panel: grid every 50 rows of bar height, the average's column,
// the axis the bars stand on, and the labels under the slots.
void draw_plot(Canvas& c, const ChartDesign& d) {
    int right = average_left(d.average_slot) + kBarSpan + 6;
    c.fill_rect(3, kPlotTop, right, kBase, rgb(kPlot));
    for (int rise = 50; rise <= kTallestBar; rise += 50) c.fill_rect(4, kBase - rise, right - 1, kBase - rise, rgb(kGrid));
    int band_left = average_left(d.average_slot) - 2, band_right = average_left(d.average_slot) + kBarSpan + 2;
    c.fill_rect(band_left, kPlotTop + 1, band_right, kBase, rgb(kAverageBand));
    c.fill_rect(band_left, kPlotTop + 1, band_left, kBase, rgb(kAverageEdge));
    c.fill_rect(band_right, kPlotTop + 1, band_right, kBase, rgb(kAverageEdge));
    // Frame: light on three sides, the axis below.
    c.fill_rect(2, kPlotTop - 1, right + 1, kPlotTop - 1, rgb(kPlotFrame));
    c.fill_rect(2, kPlotTop - 1, 2, kBase + 1, rgb(kPlotFrame));
    c.fill_rect(right + 1, kPlotTop - 1, right + 1, kBase + 1, rgb(kPlotFrame));
    c.fill_rect(2, kBase + 1, right + 1, kBase + 1, rgb(kAxis));

    constexpr double kLabelBaseline = kBase + 12.5, kLowerBaseline = kBase + 21.5;
    for (size_t i = 0; i < d.labels.size(); ++i) {
        double centre = bar_left(static_cast<int>(i)) + kBarSpan / 2.0 + 0.5;
        bool lower = d.staggered && i % 2 == 1;
        c.fill_rect(static_cast<int>(centre), kBase + 2, static_cast<int>(centre), kBase + (lower ? 12 : 3), rgb(kAxis));
        draw_text(c, label_font(), 8.0, d.labels[i], centre, lower ? kLowerBaseline : kLabelBaseline, rgb(kLabel), 0);
    }
    double avg_centre = average_left(d.average_slot) + kBarSpan / 2.0 + 0.5;
    draw_text(c, caption_font(), 8.0, "avg", avg_centre, kLabelBaseline, rgb(0xb06a12), 0);
}

// The card of the five numbers: a caption above each white field the
// number is written into.
void draw_numbers_card(Canvas& c, const ChartDesign& d) {
    int w = c.width();
    int left = w - kNumbersFromRight - kCardToNumbers, right = w - 5;
    c.fill_rect(left, kPlotTop - 1, right, kBase + 1, rgb(kCardFrame));
    c.fill_rect(left + 1, kPlotTop, right - 1, kBase, rgb(kCard));
    const std::string captions[5] = {"Total", d.period_caption, std::string("Maximum per ") + d.per,
                                     std::string("Minimum per ") + d.per, std::string("Average per ") + d.per};
    const std::uint32_t marks[5] = {0x2f6fb0, 0x3f9a5a, 0xc0453a, 0x7a62b8, kAccent};
    int number_x = w - kNumbersFromRight;
    for (int i = 0; i < 5; ++i) {
        int top = kNumberRows[i];
        draw_text(c, caption_font(), 8.5, captions[i], number_x - 1, top - 5, rgb(kCaption));
        c.fill_rect(number_x - 4, top - 2, right - 5, top + kNumberHeight + 1, rgb(kFieldFrame));
        c.fill_rect(number_x - 3, top - 1, right - 6, top + kNumberHeight, rgb(kField));
        c.fill_rect(number_x - 4, top - 2, number_x - 3, top + kNumberHeight + 1, rgb(marks[i]));
    }
    draw_text(c, caption_font(), 9.0, "VornCounter", right - 6, kBase - 6, rgb(kFaint), 1);
}

Canvas draw_chart(const ChartDesign& d) {
    Canvas c(d.width, kHeight, rgb(kPage));
    draw_page(c);
    draw_plot(c, d);
    draw_numbers_card(c, d);
    return c;
}

const std::vector<ChartDesign>& designs() {
    static const std::vector<ChartDesign> all{
        {"imgyear.rc", 356, 12, {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"},
         "This year", "month", true},
        {"imgmonth.rc", 622, 31, numbered(1, 31), "This month", "day"},
        {"imgday.rc", 524, 24, numbered(0, 23), "This day", "hour"},
    };
    return all;
}

}  // namespace

void write_chart_backgrounds(const std::filesystem::path& resource_dir) {
    for (const ChartDesign& d : designs()) {
        Canvas c = draw_chart(d);
        write_gif(c, quantise({&c}, kChartColours), resource_dir / d.file);
    }
}

}  // namespace vorn::imagegen
