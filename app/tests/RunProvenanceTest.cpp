// What a generated instrument names as its model: a saved file by its name
// and digest, any other model without a digest.
#include "generation/RunProvenance.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace kivora {
namespace {

TEST(RunProvenance, OnlyAModelAsSavedIsNamedWithItsFilesDigest) {
    const QTemporaryDir folder;
    const QString path = folder.filePath("string.json");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("abc");
    file.close();
    const GenerationSettings settings;
    const struct {
        QString path;
        bool modified;
        std::string name;
        std::string sha256;
    } cases[] = {
        // The digest of "abc" as every SHA-256 implementation gives it.
        {path, false, "string.json", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {path, true, "string.json with unsaved changes", ""},
        {QString(), true, "an untitled model", ""},
    };
    for (const auto& model : cases) {
        const RunProvenance run = runProvenanceOf(model.path, model.modified, settings);
        EXPECT_EQ(run.modelName, model.name);
        EXPECT_EQ(run.modelSha256, model.sha256) << model.name;
        // Without a report: what the command writes up to the settings, nothing measured.
        GenerationReport settingsOnly;
        settingsOnly.settings = settings;
        std::vector<std::string> expected = provenanceComments(model.name, model.sha256, settingsOnly);
        expected.resize(model.sha256.empty() ? 2 : 3);
        EXPECT_EQ(provenanceLines(run, nullptr), expected) << model.name;
    }
}

} // namespace
} // namespace kivora
