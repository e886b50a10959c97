#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "registry_script.h"

using namespace brimvox::retrieve;

namespace {

std::string moduleScript() {
    std::ifstream in(RETRIEVE_RGS_PATH, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const RegistryEntry* find(const std::vector<RegistryEntry>& entries, const std::string& name) {
    for (const auto& e : entries) {
        if (e.name == name) return &e;
    }
    return nullptr;
}

const char kClsid[] = "{708C71EC-6889-4892-94E5-D104D0172086}";

TEST(RegistryScript, ModuleScriptHoldsEveryEntryOfTheTable) {
    std::vector<RegistryRoot> roots;
    std::string error;
    ASSERT_TRUE(parseRegistryScript(moduleScript(), roots, error)) << error;
    substituteVariable(roots, "MODULE", "C:\\dir\\Retrieve.dll");
    ASSERT_EQ(1u, roots.size());
    EXPECT_EQ("HKCR", roots[0].name);
    const auto& top = roots[0].entries;
    ASSERT_EQ(3u, top.size());

    const RegistryEntry* versioned = find(top, "Retrieve.UploadRetrieve.1");
    ASSERT_NE(nullptr, versioned);
    EXPECT_EQ("UploadRetrieve Class", versioned->data);
    EXPECT_FALSE(versioned->forceRemove || versioned->noRemove);
    ASSERT_EQ(1u, versioned->children.size());
    EXPECT_EQ(kClsid, find(versioned->children, "CLSID")->data);

    const RegistryEntry* independent = find(top, "Retrieve.UploadRetrieve");
    ASSERT_NE(nullptr, independent);
    EXPECT_EQ("UploadRetrieve Class", independent->data);
    EXPECT_EQ(kClsid, find(independent->children, "CLSID")->data);
    EXPECT_EQ("Retrieve.UploadRetrieve.1", find(independent->children, "CurVer")->data);

    const RegistryEntry* clsidRoot = find(top, "CLSID");
    ASSERT_NE(nullptr, clsidRoot);
    EXPECT_TRUE(clsidRoot->noRemove);
    EXPECT_FALSE(clsidRoot->hasData);
    ASSERT_EQ(1u, clsidRoot->children.size());
    const RegistryEntry& cls = clsidRoot->children[0];
    EXPECT_EQ(kClsid, cls.name);
    EXPECT_TRUE(cls.forceRemove);
    EXPECT_EQ("UploadRetrieve Class", cls.data);
    ASSERT_EQ(5u, cls.children.size());
    EXPECT_EQ("Retrieve.UploadRetrieve.1", find(cls.children, "ProgID")->data);
    EXPECT_EQ("Retrieve.UploadRetrieve", find(cls.children, "VersionIndependentProgID")->data);
    const RegistryEntry* programmable = find(cls.children, "Programmable");
    EXPECT_TRUE(programmable->forceRemove);
    EXPECT_FALSE(programmable->hasData);
    EXPECT_TRUE(programmable->children.empty());
    const RegistryEntry* server = find(cls.children, "InprocServer32");
    EXPECT_EQ("C:\\dir\\Retrieve.dll", server->data);
    ASSERT_EQ(1u, server->children.size());
    EXPECT_TRUE(server->children[0].isValue);
    EXPECT_EQ("ThreadingModel", server->children[0].name);
    EXPECT_EQ("Both", server->children[0].data);
    EXPECT_EQ("{90B9C0E9-AA4D-42E3-87E3-31FBDDADF42A}", find(cls.children, "TypeLib")->data);
}

TEST(RegistryScript, QuotesAndSubstitution) {
    std::vector<RegistryRoot> roots;
    std::string error;
    ASSERT_TRUE(parseRegistryScript("HKCR { 'Key Name' = s 'it''s %A% and %A%' }", roots, error))
        << error;
    substituteVariable(roots, "A", "%A%x");
    EXPECT_EQ("Key Name", roots[0].entries[0].name);
    EXPECT_EQ("it's %A%x and %A%x", roots[0].entries[0].data);
}

TEST(RegistryScript, MalformedScriptsAreRefusedWithAMessage) {
    for (const char* text :
         {"HKCR {", "HKCR { A = s 'x }", "HKCR { A = d '1' }", "HKCR { val V }",
          "HKCR { val V = s 'x' { } }", "{ }", "HKCR { = s 'x' }", "HKCR A",
          "HKCR { A { B { C { D { E { F { G { H { I { J { K { L { M { N { O { P { Q { R { S { T "
          "{ U { V { W { X { Y { Z { a { b { c { d { e { f { g { h } } } } } } } } } } } } } } } "
          "} } } } } } } } } } } } } } } } } } } }"}) {
        std::vector<RegistryRoot> roots;
        std::string error;
        EXPECT_FALSE(parseRegistryScript(text, roots, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    std::vector<RegistryRoot> roots;
    std::string error;
    EXPECT_TRUE(parseRegistryScript("", roots, error));
    EXPECT_TRUE(roots.empty());
}

}  // namespace
