// Loading modules: the refusals, a successful load and the search path.
#include "OP/OP_DSOLoader.h"
#include "OP/OP_OperatorTable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

const std::string kDir = TEST_MODULE_DIR;

// Sets MORVANE_DSO_PATH for one test and restores it afterwards.
class ScopedSearchPath {
public:
    explicit ScopedSearchPath(const char* value) {
        if (const char* old = std::getenv("MORVANE_DSO_PATH"))
            myOld = old, myHadOld = true;
        if (value)
            setenv("MORVANE_DSO_PATH", value, 1);
        else
            unsetenv("MORVANE_DSO_PATH");
    }
    ~ScopedSearchPath() {
        if (myHadOld)
            setenv("MORVANE_DSO_PATH", myOld.c_str(), 1);
        else
            unsetenv("MORVANE_DSO_PATH");
    }

private:
    std::string myOld;
    bool myHadOld = false;
};

TEST(Loader, RegistersTheTypesOfAGoodModule) {
    OP_OperatorTable table;
    OP_DSOLoader loader(table);
    std::string error;
    ASSERT_TRUE(loader.load(kDir + "/good/test_good.so", error)) << error;
    OP_Operator* op = table.getOperator("testmod");
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->getModulePath(), kDir + "/good/test_good.so");
    ASSERT_EQ(loader.modules().size(), 1u);
    EXPECT_EQ(loader.modules()[0].version, "9.0");
    EXPECT_EQ(loader.modules()[0].tag, "test-module-tag");
    EXPECT_EQ(loader.modules()[0].types, std::vector<std::string>{"testmod"});
    // The same file name is not loaded twice.
    EXPECT_FALSE(loader.load(kDir + "/good/test_good.so", error));
    EXPECT_NE(error.find("already loaded"), std::string::npos);
}

TEST(Loader, RefusesAModuleBuiltForAnotherVersion) {
    OP_OperatorTable table;
    OP_DSOLoader loader(table);
    std::string error;
    EXPECT_FALSE(loader.load(kDir + "/test_oldversion.so", error));
    EXPECT_NE(error.find("test_oldversion.so"), std::string::npos) << error;
    EXPECT_NE(error.find("\"8.5\""), std::string::npos) << error;
    EXPECT_EQ(table.entries(), 0);
    EXPECT_TRUE(loader.modules().empty());
}

TEST(Loader, RefusesAModuleWithoutAnEntryPoint) {
    OP_OperatorTable table;
    OP_DSOLoader loader(table);
    std::string error;
    EXPECT_FALSE(loader.load(kDir + "/test_noregister.so", error));
    EXPECT_NE(error.find("test_noregister.so"), std::string::npos) << error;
    EXPECT_NE(error.find("newObjectOperator"), std::string::npos) << error;
    EXPECT_EQ(table.entries(), 0);
}

TEST(Loader, RefusesAFileThatIsNotALibrary) {
    std::string path = kDir + "/not_a_module.so";
    std::ofstream(path) << "plain text\n";
    OP_OperatorTable table;
    OP_DSOLoader loader(table);
    std::string error;
    EXPECT_FALSE(loader.load(path, error));
    EXPECT_EQ(error.rfind(path + ": cannot load module", 0), 0u) << error;
    EXPECT_FALSE(loader.load(kDir + "/missing.so", error));
    EXPECT_NE(error.find("missing.so"), std::string::npos);
    std::filesystem::remove(path);
}

TEST(Loader, RefusesAModuleWhoseRegistrationThrowsAndUndoesItsTypes) {
    OP_OperatorTable table;
    OBJinstallHostOperators(table);
    OP_DSOLoader loader(table);
    std::string error;
    const std::string path = kDir + "/throws/test_throws.so";
    EXPECT_FALSE(loader.load(path, error));
    EXPECT_EQ(error.rfind(path + ": newObjectOperator threw: boom", 0), 0u) << error;
    EXPECT_EQ(table.getOperator("throwmod"), nullptr) << "the type it added before throwing";
    EXPECT_NE(table.getOperator("null"), nullptr) << "the host's own types stay";
    EXPECT_TRUE(loader.modules().empty());
}

TEST(Loader, SearchPathLoadsTakePlainFileNamesOnly) {
    for (const char* name : {"OBJ_Quenlo.so", "a.so.1", "..so", ".hidden.so"})
        EXPECT_TRUE(OP_DSOLoader::isPlainFileName(name)) << name;
    for (const char* name : {"", ".", "..", "/abs/x.so", "../x.so", "sub/x.so", "x.so/"})
        EXPECT_FALSE(OP_DSOLoader::isPlainFileName(name)) << name;
    EXPECT_FALSE(OP_DSOLoader::isPlainFileName(std::string_view("x\0/y.so", 7)));

    // A name with a path in it is refused even when the file it names is a
    // good module that the search path could reach.
    ScopedSearchPath env((kDir + "/throws").c_str());
    OP_OperatorTable table;
    OP_DSOLoader loader(table);
    std::string error;
    for (const std::string& name :
         {std::string("../good/test_good.so"), kDir + "/good/test_good.so"}) {
        EXPECT_FALSE(loader.loadFromSearchPath(name, error)) << name;
        EXPECT_NE(error.find("not a module file name"), std::string::npos) << error;
    }
    EXPECT_EQ(table.entries(), 0);
    EXPECT_TRUE(loader.modules().empty());
}

TEST(Loader, SearchesTheColonSeparatedPath) {
    ScopedSearchPath env((kDir + "/nowhere::" + kDir + "/good").c_str());
    EXPECT_EQ(OP_DSOLoader::searchPath(),
              (std::vector<std::string>{kDir + "/nowhere", kDir + "/good"}));
    EXPECT_EQ(OP_DSOLoader::find("test_good.so"), kDir + "/good/test_good.so");
    EXPECT_EQ(OP_DSOLoader::find("absent.so"), "");

    OP_OperatorTable table;
    OP_DSOLoader loader(table);
    std::string error;
    EXPECT_FALSE(loader.loadByName("absent.so", error));
    EXPECT_NE(error.find("absent.so"), std::string::npos);
    EXPECT_NE(error.find(kDir + "/good"), std::string::npos);
    ASSERT_TRUE(loader.loadByName("test_good.so", error)) << error;
    EXPECT_NE(table.getOperator("testmod"), nullptr);
}

TEST(Loader, LoadsEveryModuleOnThePath) {
    ScopedSearchPath env((kDir + "/good").c_str());
    OP_OperatorTable table;
    OP_DSOLoader loader(table);
    std::vector<std::string> errors;
    EXPECT_EQ(loader.loadAll(errors), 1);
    EXPECT_TRUE(errors.empty());
    EXPECT_NE(loader.findLoaded("test_good.so"), nullptr);
}

TEST(Loader, DefaultsToTheModuleFolderBesideTheSdkLibrary) {
    ScopedSearchPath env(nullptr);
    ASSERT_EQ(OP_DSOLoader::searchPath().size(), 1u);
    EXPECT_TRUE(std::filesystem::equivalent(OP_DSOLoader::searchPath()[0], DEFAULT_DSO_DIR));
}

TEST(Loader, AnAmpersandInTheSearchPathStandsForTheDefaultFolder) {
    ScopedSearchPath env("/first::&:/last");
    EXPECT_EQ(OP_DSOLoader::searchPath(),
              (std::vector<std::string>{"/first", OP_DSOLoader::defaultFolder(), "/last"}));
}

} // namespace
