// CModel without GL (no display lists): model.def through the shared
// grammar, loading on the first request, unknown IDs, files that fail and are
// tried again, and the texture references given back at destruction.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "client/assets/model.h"
#include "client/core/rconf.h"
#include "tests/assets/model_test_util.h"

namespace {

using namespace model_test;
using velmar::CModel;
using velmar::ModelData;

using quask_test::writeBytes;
using quask_test::writeFile;

TModel modelWith(std::uint32_t meshes, std::int32_t texture) {
    TModel m;
    m.meshes.resize(meshes);
    for (std::uint32_t i = 0; i + 1 < meshes; ++i) m.meshes[i].children = {i + 1};
    for (auto& mesh : m.meshes) mesh.surfaces = {triangle(texture, 0, 0, 0), triangle(texture + 1, 1, 1, 1)};
    return m;
}

class ModelManager : public LoggedTest {
protected:
    void TearDown() override {
        CModel::Destroy();
        EXPECT_TRUE(textures.live.empty());
        LoggedTest::TearDown();
    }
    CModel* create(const std::string& defPath) {
        CModel::Settings settings{false, false, textures.hooks(), nullptr, defPath.c_str()};
        return CModel::Create(settings);
    }
    // model.def with a comment, a nested file and models 1 (two meshes), 2 and 3.
    CModel* createStandard() {
        writeBytes(at("one.rmdl"), buildModel(modelWith(2, 10)));
        writeBytes(at("two.rmdl"), buildModel(modelWith(1, 20)));
        writeBytes(at("three.rmdl"), buildModel(modelWith(3, 30)));
        writeFile(at("more.def"), "; models of the second set\n3:\t" + at("three.rmdl") + "\n");
        writeFile(at("model.def"), "// world models\r\n1: " + at("one.rmdl") + "\r\n#2: " + at("two.rmdl") +
                                       "\r\nload: " + at("more.def") + "\r\n");
        return create(at("model.def"));
    }

    FakeTextures textures;
};

TEST_F(ModelManager, DefinitionFilesAreReadWithTheirNestedFiles) {
    CModel* models = createStandard();
    ASSERT_NE(models, nullptr);
    EXPECT_EQ(models->definedCount(), 3u);
    EXPECT_TRUE(logged("INFO", "CModel: DefFile '" + at("model.def") + "' Loaded => 2 Entrys"));
    EXPECT_TRUE(logged("INFO", "CModel: DefFile '" + at("more.def") + "' Loaded => 1 Entrys"));
    EXPECT_NE(models->Get(3), nullptr);
    EXPECT_EQ(textures.gets.size(), 6u);
}

TEST_F(ModelManager, ModelRequestedTwiceIsLoadedOnce) {
    CModel* models = createStandard();
    ModelData* first = models->Get(1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(models->loadCount(1), 1u);
    ModelData* second = models->Get(1);
    EXPECT_EQ(second, first);
    EXPECT_EQ(models->loadCount(1), 2u);
    EXPECT_EQ(textures.gets.size(), 4u);  // two meshes of two surfaces, once
    EXPECT_EQ(first->meshCount, 2u);
    EXPECT_EQ(models->loadCount(2), 0u);
}

TEST_F(ModelManager, UnknownIdGivesNullAndTheClientGoesOn) {
    CModel* models = createStandard();
    EXPECT_EQ(models->Get(42), nullptr);
    EXPECT_TRUE(logged("WARN", "CModel->Get: Requested unknown Model ID #42\n"));
    EXPECT_NE(models->Get(2), nullptr);
}

TEST_F(ModelManager, FileThatFailsIsTriedAgainOnTheNextRequest) {
    CModel* models = createStandard();
    TModel broken = modelWith(1, 20);
    broken.magic = 0x12345678;
    writeBytes(at("two.rmdl"), buildModel(broken));
    EXPECT_EQ(models->Get(2), nullptr);
    EXPECT_TRUE(logged("WARN", "CModel => LoadModelData: Error - Not Header (" + at("two.rmdl") + ")"));
    EXPECT_TRUE(logged("WARN", "CModel->Get: Model 2 File cannot be loaded (" + at("two.rmdl") + ")\n"));
    EXPECT_EQ(models->loadCount(2), 0u);
    writeBytes(at("two.rmdl"), buildModel(modelWith(1, 20)));
    ModelData* model = models->Get(2);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(models->loadCount(2), 1u);
}

TEST_F(ModelManager, LaterDuplicateIdReplacesTheEarlierEntry) {
    writeBytes(at("a.rmdl"), buildModel(modelWith(1, 20)));
    writeBytes(at("b.rmdl"), buildModel(modelWith(3, 20)));
    writeFile(at("model.def"), "5: " + at("a.rmdl") + "\n5: " + at("b.rmdl") + "\n");
    CModel* models = create(at("model.def"));
    EXPECT_EQ(models->definedCount(), 1u);
    ModelData* model = models->Get(5);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->meshCount, 3u);
}

TEST_F(ModelManager, MissingDefinitionFileLeavesAnEmptyDatabase) {
    CModel* models = create(at("absent.def"));
    ASSERT_NE(models, nullptr);
    EXPECT_EQ(models->definedCount(), 0u);
    EXPECT_TRUE(logged("WARN", "CModel => DefFile: IO Read error on '" + at("absent.def") + "'"));
    EXPECT_TRUE(logged("WARN", "CModel: Model Definition file NOT Loaded.\n"));
    EXPECT_EQ(models->Get(1), nullptr);
}

TEST_F(ModelManager, DestroyGivesBackTheTexturesOfLoadedModelsOnly) {
    CModel* models = createStandard();
    ASSERT_NE(models->Get(1), nullptr);
    ASSERT_NE(models->Get(3), nullptr);
    EXPECT_EQ(textures.live.size(), 4u);  // 1010, 1011, 1030, 1031
    CModel::Destroy();
    EXPECT_EQ(CModel::instance(), nullptr);
    EXPECT_EQ(textures.frees.size(), 10u);
    EXPECT_TRUE(textures.live.empty());
}

TEST_F(ModelManager, MissingModelFileEndsTheProcessInTheFileLayer) {
    writeFile(at("model.def"), "8: " + at("gone.rmdl") + "\n");
    CModel* models = create(at("model.def"));
    EXPECT_EXIT(models->Get(8), ::testing::ExitedWithCode(1), "");
}

TEST_F(ModelManager, StartUpCopiesBothSwitchesFromTheConfiguration) {
    writeFile(at("velmar.cfg"), std::string("CompileAndOptimizeModel = false\nModelShowBBOX = true\n"));
    ASSERT_NE(velmar::CRConf::Create(at("velmar.cfg")), nullptr);
    char* cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(m_dir.c_str()), 0);
    CModel* models = CModel::Create();
    EXPECT_EQ(chdir(cwd), 0);
    free(cwd);
    ASSERT_NE(models, nullptr);
    EXPECT_FALSE(models->optimise());
    EXPECT_TRUE(models->showBoundingBox());
    EXPECT_TRUE(logged("WARN", "CModel => DefFile: IO Read error on './data/def/model.def'"));
    velmar::CRConf::Destroy();
}

}  // namespace
