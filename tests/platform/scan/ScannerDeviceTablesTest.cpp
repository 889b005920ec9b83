// The pure rules of the device layer: SANE options to functional units and resolutions,
// cameras and the resolution choice.
#include "platform/scan/ScannerDeviceSane.h"
#include <gtest/gtest.h>

using namespace zuvo::scan;

namespace {

struct UnitCase {
  const char* backend;
  SourceOptions options;
  QList<int> types;
  QMap<int, QString> sources;  // the source value set for each unit
  bool duplex;
  QString duplexSource;
};

QStringList list(std::initializer_list<const char*> values) {
  QStringList out;
  for (const char* v : values) out.append(QString::fromUtf8(v));
  return out;
}

SourceOptions source(std::initializer_list<const char*> values) { return {list(values), {}, false}; }

TEST(ScannerUnitMapping, RealBackendsSourceLists) {
  SourceOptions epson2 = source({"Flatbed", "Automatic Document Feeder", "Transparency Unit"});
  epson2.adfMode = list({"Simplex", "Duplex"});
  SourceOptions duplexOption = source({"Flatbed", "ADF"});
  duplexOption.duplexOption = true;
  SourceOptions duplexWithoutFeeder = source({"Flatbed"});
  duplexWithoutFeeder.duplexOption = true;
  SourceOptions adfModeWithoutFeeder;
  adfModeWithoutFeeder.adfMode = list({"Simplex", "Duplex"});

  const UnitCase cases[] = {
      {"test", source({"Flatbed", "Automatic Document Feeder"}), {0, 3},
       {{0, "Flatbed"}, {3, "Automatic Document Feeder"}}, false, ""},
      {"pixma", source({"Flatbed", "Automatic Document Feeder", "ADF Duplex"}), {0, 3},
       {{0, "Flatbed"}, {3, "Automatic Document Feeder"}}, true, "ADF Duplex"},
      {"plustek", source({"Normal", "Transparency", "Negative"}), {0, 1, 2},
       {{0, "Normal"}, {1, "Transparency"}, {2, "Negative"}}, false, ""},
      {"epson2", epson2, {0, 1, 3},
       {{0, "Flatbed"}, {1, "Transparency Unit"}, {3, "Automatic Document Feeder"}}, true, ""},
      {"fujitsu", source({"ADF Front", "ADF Back", "ADF Duplex", "Card Front", "Card Back", "Card Duplex"}), {3},
       {{3, "ADF Front"}}, true, "ADF Duplex"},
      {"hpaio", source({"Flatbed", "ADF", "Duplex"}), {0, 3}, {{0, "Flatbed"}, {3, "ADF"}}, true, "Duplex"},
      {"genesys", source({"Flatbed", "Transparency Adapter", "Transparency Adapter Infrared"}), {0, 1},
       {{0, "Flatbed"}, {1, "Transparency Adapter"}}, false, ""},
      {"brother", source({"FlatBed", "Automatic Document Feeder(left aligned)",
                          "Automatic Document Feeder(centrally aligned)",
                          "Automatic Document Feeder(left aligned,Duplex)",
                          "Automatic Document Feeder(centrally aligned,Duplex)"}),
       {0, 3}, {{0, "FlatBed"}, {3, "Automatic Document Feeder(left aligned)"}}, true,
       "Automatic Document Feeder(left aligned,Duplex)"},
      {"epsonds film", source({"Flatbed", "Positive Film", "Negative Film"}), {0, 1, 2},
       {{0, "Flatbed"}, {1, "Positive Film"}, {2, "Negative Film"}}, false, ""},
      {"hp XPA", source({"Normal", "ADF", "XPA"}), {0, 1, 3}, {{0, "Normal"}, {1, "XPA"}, {3, "ADF"}}, false, ""},
      {"airscan", source({"Flatbed", "ADF", "ADF Duplex"}), {0, 3}, {{0, "Flatbed"}, {3, "ADF"}}, true, "ADF Duplex"},
      {"duplex option", duplexOption, {0, 3}, {{0, "Flatbed"}, {3, "ADF"}}, true, ""},
      {"feeder only duplex value", source({"ADF Duplex"}), {3}, {{3, "ADF Duplex"}}, true, "ADF Duplex"},
      {"no source option", SourceOptions{}, {0}, {}, false, ""},
      {"unknown values only", source({"Auto", "Manual"}), {0}, {}, false, ""},
      {"duplex option without feeder", duplexWithoutFeeder, {0}, {{0, "Flatbed"}}, false, ""},
      {"adf-mode without feeder", adfModeWithoutFeeder, {0}, {}, false, ""},
  };
  for (const UnitCase& c : cases) {
    SCOPED_TRACE(c.backend);
    const UnitMap map = mapFunctionalUnits(c.options);
    EXPECT_EQ(map.types, c.types);
    EXPECT_EQ(map.sourceForType, c.sources);
    EXPECT_EQ(map.supportsDuplex(), c.duplex);
    EXPECT_EQ(map.duplexSource, c.duplexSource);
  }
  const UnitMap epson = mapFunctionalUnits(epson2);
  EXPECT_EQ(epson.adfModeDuplex, "Duplex");
  EXPECT_EQ(epson.adfModeSimplex, "Simplex");
}

TEST(ScannerUnitMapping, CamerasAreNeverScanners) {
  for (const char* type : {"still camera", "video camera", "webcam", "Webcam", "frame grabber"})
    EXPECT_TRUE(isCameraType(type)) << type;
  for (const char* type : {"flatbed scanner", "virtual device", "multi-function peripheral", "sheetfed scanner",
                           "film scanner", "handheld scanner", ""})
    EXPECT_FALSE(isCameraType(type)) << type;
}

TEST(ScannerResolutions, WordListsAndRanges) {
  auto range = [](double min, double max, double quant) {
    ResolutionConstraint c;
    c.kind = ResolutionConstraint::Range;
    c.min = min, c.max = max, c.quant = quant;
    return c;
  };
  auto words = [](QList<double> w) {
    ResolutionConstraint c;
    c.kind = ResolutionConstraint::WordList;
    c.words = w;
    return c;
  };
  const struct {
    const char* what;
    ResolutionConstraint constraint;
    QList<int> expected;
  } cases[] = {
      {"test backend 1..1200", range(1, 1200, 1), {50, 75, 100, 150, 200, 300, 400, 600, 1200}},
      {"75..4800", range(75, 4800, 0), {75, 100, 150, 200, 300, 400, 600, 1200, 2400, 4800}},
      {"steps of 100", range(100, 1200, 100), {100, 200, 300, 400, 600, 1200}},
      {"none standard inside", range(10, 40, 1), {10}},
      {"one value", range(300, 300, 0), {300}},
      {"word list as it stands", words({600, 150, 300, 75, 300}), {75, 150, 300, 600}},
      {"fixed-point words", words({75.0, 149.9999, 2400}), {75, 150, 2400}},
      {"no constraint", ResolutionConstraint{}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(supportedResolutions(c.constraint), c.expected) << c.what;
}

TEST(ScannerResolutions, ChoiceAtOrAboveTheSetting) {
  const QList<int> supported{75, 150, 300, 600};
  EXPECT_EQ(chooseResolution(supported, 300), 300);
  EXPECT_EQ(chooseResolution(supported, 200), 300);
  EXPECT_EQ(chooseResolution(supported, 0), 75);
  EXPECT_EQ(chooseResolution(supported, 1200), 600);  // none reaches it: the highest
  EXPECT_EQ(chooseResolution({50, 75, 150}, 72), 75);
  EXPECT_EQ(chooseResolution({}, 72), kNoResolution);
}

}  // namespace
