// The window itself: its photograph, its fonts and its status words.
#include "StationFixture.h"

#include "JpegDecoder.h"

#include <QFile>
#include <QFontInfo>
#include <QRawFont>

#include <map>

namespace {

class WindowTest : public StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        start(std::vector<LinkKind>{});
    }
};

std::string resource(const char* name) {
    QFile file(QStringLiteral(":/station/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

TEST_F(WindowTest, PhotographIsAProgressiveJpegThatDecodesToItsSize) {
    const std::string jpeg = resource("evaluator.jpg");
    ASSERT_FALSE(jpeg.empty());
    // A progressive picture starts its frame with SOF2 (FF C2).
    EXPECT_NE(jpeg.find("\xFF\xC2"), std::string::npos);
    EXPECT_EQ(jpeg.find("\xFF\xC0"), std::string::npos);

    const QImage image = decodeJpeg(jpeg);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(600, 629));
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    EXPECT_EQ(qAlpha(image.pixel(300, 300)), 255);
    EXPECT_EQ(form_->imgBackground->picture().toImage().convertToFormat(QImage::Format_RGB32),
              image);
}

TEST_F(WindowTest, DamagedPhotographDataGivesNoPictureOrAPartialOne) {
    const std::string jpeg = resource("evaluator.jpg");
    EXPECT_TRUE(decodeJpeg("").isNull());
    EXPECT_TRUE(decodeJpeg("GIF89a not a jpeg at all").isNull());
    EXPECT_TRUE(decodeJpeg(jpeg.substr(0, 20)).isNull()); // no frame header yet
    // Cut in the middle of the scans: libjpeg completes it with grey.
    const QImage partial = decodeJpeg(jpeg.substr(0, jpeg.size() / 2));
    EXPECT_EQ(partial.size(), QSize(600, 629));
    std::string wrongMarker = jpeg;
    wrongMarker[wrongMarker.find("\xFF\xC2") + 1] = '\xC3'; // lossless: libjpeg refuses it
    EXPECT_TRUE(decodeJpeg(wrongMarker).isNull());
}

// The GB2312 codes of the three characters of the status words.
const std::map<char16_t, std::uint16_t> kGb2312 = {
    {u'\u4E0D', 0xB2BB}, // 不
    {u'\u5408', 0xBACF}, // 合
    {u'\u683C', 0xB8F1}, // 格
};

std::string gb2312(std::u16string_view text) {
    std::string bytes;
    for (char16_t c : text) {
        const std::uint16_t code = kGb2312.at(c);
        bytes += static_cast<char>(code >> 8);
        bytes += static_cast<char>(code & 0xFF);
    }
    return bytes;
}

TEST(StatusWords, AreThePassAndFailWordsOfTheDevice) {
    EXPECT_EQ(gb2312(kPassWord), "\xBA\xCF\xB8\xF1");
    EXPECT_EQ(gb2312(kFailWord), "\xB2\xBB\xBA\xCF\xB8\xF1");
}

TEST_F(WindowTest, TheLabelsFontHasTheChineseCharacters) {
    for (const QLabel* label : {form_->lbStatus, form_->lbCount}) {
        const QRawFont raw = QRawFont::fromFont(label->font(), QFontDatabase::SimplifiedChinese);
        ASSERT_TRUE(raw.isValid()) << label->objectName().toStdString();
        for (char16_t c : std::u16string_view(kFailWord)) {
            EXPECT_TRUE(raw.supportsCharacter(QChar(c)))
                << label->objectName().toStdString() << " in " << raw.familyName().toStdString();
        }
        EXPECT_TRUE(QFontInfo(label->font()).bold());
        EXPECT_EQ(QFontInfo(label->font()).pixelSize(), label == form_->lbCount ? 32 : 24);
    }
}

} // namespace
