// patchpub's revisions applied by real patch runs: the game directory ends
// byte-identical to the content directory, whichever revision a client
// starts from, also when a file changes between packed and plain.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "patcher/engine/full_check.h"
#include "patcher/engine/patch_run.h"
#include "patcher/protocol/file_lists.h"
#include "tests/tools/patchpub_fixture.h"
#include "tools/patchpub/maintain.h"
#include "tools/patchpub/publisher.h"
#include "tools/patchpub/signing.h"
#include "tools/patchpub/verify_tree.h"

using namespace quillon;
namespace fs = std::filesystem;
using patchpub_test::PatchPubTest;
using patchpub_test::mapText;
using patchpub_test::patchpubRun;

TEST_F(PatchPubTest, TwoRevisionsBringEveryClientToTheContent) {
    // The launchers are programs of this machine: a launcher that cannot
    // run is never installed.
    const std::string launcher1 = quask_test::readFile("/bin/true") + "launcher 1\n";
    put("quillon", launcher1, true);
    put("bin/tool", "#!/bin/sh\necho tool\n", true);
    put("data/maps/one.map", mapText("one"));
    put("readme.txt", "read me");
    put("old.txt", "goes away");
    fs::create_directories(at("content/saves"));
    patchpub::PublishResult r = publish();
    ASSERT_TRUE(r.published);
    EXPECT_EQ(r.revision, 1u);
    EXPECT_EQ(r.added, 5u);
    EXPECT_EQ(www("lastrev.txt"), "REV:1\n");
    EXPECT_EQ(www("allow.txt"), "allow");
    EXPECT_TRUE(fs::exists(at("www/data/data/maps/one.ma_")));
    EXPECT_FALSE(fs::exists(at("www/data/data/maps/one.map")));
    EXPECT_NE(www("meta/1.txt").find("DATA:dir:A:/saves\n"), std::string::npos);
    EXPECT_NE(www("meta/1.txt").find("DATE:2026-12-01 04:40:00\n"), std::string::npos);
    ASSERT_FALSE(patch("early"));
    EXPECT_EQ(differences("early"), "");
    EXPECT_TRUE(executable("early/bin/tool"));

    put("quillon", quask_test::readFile("/bin/true") + "launcher 2\n", true);
    put("data/maps/one.map", mapText("two"));
    put("data/new.bin", std::string("\0\1\2binary", 9));
    fs::remove(at("content/old.txt"));
    r = publish("Second\nrevision");
    ASSERT_TRUE(r.published);
    EXPECT_EQ(r.revision, 2u);
    EXPECT_EQ(r.added, 1u);
    EXPECT_EQ(r.modified, 2u);
    EXPECT_EQ(r.deleted, 1u);
    EXPECT_NE(www("meta/2.txt").find("DATA:file:D:/old.txt\n"), std::string::npos);
    EXPECT_NE(www("meta/2.txt").find("\nMSG:15:Second\nrevision"), std::string::npos);
    EXPECT_EQ(www("meta/sum_full.txt").rfind("REV:2\n", 0), 0u);
    EXPECT_FALSE(fs::exists(at("www/data/old.txt")));

    ASSERT_FALSE(patch("early"));  // from revision 1
    EXPECT_EQ(differences("early"), "");
    EXPECT_EQ(quask_test::readFile(at("early/quillon_old")), launcher1);
    ASSERT_FALSE(patch("fresh"));  // from revision 0, both at once
    EXPECT_EQ(differences("fresh"), "");
    EXPECT_TRUE(executable("fresh/quillon"));
    EXPECT_NE(m_lastNotice.find("Update from 2026-12-01 04:40:00:\r\nSecond\r\nrevision"), std::string::npos);

    // Nothing new: no third revision.
    r = publish();
    EXPECT_FALSE(r.published);
    EXPECT_EQ(r.revision, 2u);
    EXPECT_EQ(www("lastrev.txt"), "REV:2\n");

    // Renamed by case, in a leaf and in a folder: on a server tree that
    // keeps case the old names are files of their own and go.
    fs::rename(at("content/readme.txt"), at("content/README.txt"));
    fs::rename(at("content/data/maps"), at("content/data/Maps"));
    ASSERT_TRUE(publish().published);
    EXPECT_FALSE(fs::exists(at("www/data/readme.txt")));
    EXPECT_EQ(www("data/README.txt"), "read me");
    EXPECT_FALSE(fs::exists(at("www/data/data/maps/one.ma_")));
    EXPECT_TRUE(fs::exists(at("www/data/data/Maps/one.ma_")));

    // A content directory without the game's data/ folder (a mount that is
    // missing, data/ itself given) would delete the game for every player.
    fs::rename(at("content/data"), at("elsewhere"));
    patchpub::PublishResult refused;
    std::string error;
    EXPECT_FALSE(tryPublish(&refused, &error));
    EXPECT_EQ(error, at("content") + " holds no data/ folder, and revision 3 has 2 files in one: it is not the game "
                                     "directory, and publishing it would delete them for every player");
    EXPECT_EQ(www("lastrev.txt"), "REV:3\n");
}

TEST_F(PatchPubTest, SwitchingBetweenPackedAndPlainNeverLetsAnOlderDownloadWin) {
    put("data/a.map", mapText("packed one"));
    publish({}, {"*.map"});
    put("data/a.map", mapText("plain two"));
    publish({}, {});
    EXPECT_NE(www("meta/2.txt").find("DATA:file:M:/data/a.map\nDATA:file:D:/data/a.ma_\n"), std::string::npos);
    ASSERT_FALSE(patch("fresh2"));
    EXPECT_EQ(differences("fresh2"), "");

    put("data/a.map", mapText("packed three"));
    publish({}, {"*.map"});
    put("data/a.map", mapText("packed four"));
    publish({}, {"*.map"});
    ASSERT_FALSE(patch("fresh4"));
    EXPECT_EQ(differences("fresh4"), "");
    ASSERT_FALSE(patch("fresh2"));  // from revision 2
    EXPECT_EQ(differences("fresh2"), "");

    fs::remove(at("content/data/a.map"));
    publish();
    ASSERT_FALSE(patch("fresh5"));
    EXPECT_EQ(differences("fresh5"), "");
    ASSERT_FALSE(patch("fresh4"));
    EXPECT_FALSE(fs::exists(at("fresh4/data/a.map")));

    // Packed once more: a run from the start, whose list names the packed
    // form first, must not delete the plain name after the packed file
    // unpacked into it.
    put("data/a.map", mapText("packed six"));
    publish({}, {"*.map"});
    ASSERT_FALSE(patch("fresh6"));
    EXPECT_EQ(differences("fresh6"), "");
    ASSERT_FALSE(patch("fresh4"));
    EXPECT_EQ(differences("fresh4"), "");
}

TEST_F(PatchPubTest, NameThatOneFileGivesUpWhileAnotherIsPublishedAsItArrives) {
    // "a.ma_" is a file of its own and the packed form of "a.map".
    put("data/a.map", mapText("plain one"));
    put("data/a.ma_", mapText("its own one"));
    publish({}, {});
    ASSERT_FALSE(patch("early"));
    put("data/a.map", mapText("plain two"));
    put("data/a.ma_", mapText("its own two"));
    publish({}, {});
    ASSERT_FALSE(patch("early"));
    EXPECT_EQ(differences("early"), "");
    // "a.map" goes packed as the file "a.ma_" goes away.
    fs::remove(at("content/data/a.ma_"));
    put("data/a.map", mapText("packed three"));
    publish({}, {"*.map"});
    EXPECT_EQ(www("meta/3.txt").find("DATA:file:D:/data/a.ma_"), std::string::npos) << www("meta/3.txt");
    ASSERT_FALSE(patch("early"));
    EXPECT_EQ(differences("early"), "");
    ASSERT_FALSE(patch("fresh"));
    EXPECT_EQ(differences("fresh"), "");
}

TEST_F(PatchPubTest, LostManifestIsRebuiltFromTheFullList) {
    put("data/a.map", mapText("a"));
    put("b.txt", "bee");
    publish();
    fs::remove(at("www/meta/manifest.txt"));
    EXPECT_FALSE(publish().published);  // the packed file unpacks to the same content
    put("b.txt", "bee two");
    const patchpub::PublishResult r = publish();
    EXPECT_EQ(r.revision, 2u);
    EXPECT_EQ(r.modified, 1u);
    EXPECT_EQ(r.added, 0u);
}

TEST_F(PatchPubTest, UnsafeOrUnpublishableNamesAreRefused) {
    put("good.txt", "fine");
    patchpub::PublishResult result;
    std::string error;
    const std::string twins = "': they differ only in case, and on players' drives that ignore case one would "
                              "replace the other";
    const std::string composed = "': they differ only in how their accents are composed (and perhaps in case), and "
                                 "contentkit, the client and drives that compose accents take them for one file";
    const struct {
        std::vector<std::string> names;
        std::string error;
    } rows[] = {
        {{"bad\\name.txt"},
         "refusing content name '/bad\\name.txt': a backslash separates folders on players' systems"},
        // The name reaches the publisher's terminal, not its control bytes.
        {{"bell\a\x1b[2J.txt"}, "refusing content name '/bell^G^[[2J.txt': it holds a control character"},
        // Launchers take these, but Windows cannot make them.
        {{"what?.txt"}, "refusing content name '/what?.txt': players' systems allow no '?' in a name"},
        {{"all*.txt"}, "refusing content name '/all*.txt': players' systems allow no '*' in a name"},
        {{"a|b.txt"}, "refusing content name '/a|b.txt': players' systems allow no '|' in a name"},
        {{"say \"hi\".txt"}, "refusing content name '/say \"hi\".txt': players' systems allow no '\"' in a name"},
        {{"<b>.txt"}, "refusing content name '/<b>.txt': players' systems allow no '<' in a name"},
        {{"a>b.txt"}, "refusing content name '/a>b.txt': players' systems allow no '>' in a name"},
        // A device name opens the device there, whatever its extension or case.
        {{"data/texture/nul.dds"},
         "refusing content name '/data/texture/nul.dds': 'NUL' is a device name on players' systems"},
        {{"Com1.txt"}, "refusing content name '/Com1.txt': 'COM1' is a device name on players' systems"},
        {{"lpt9"}, "refusing content name '/lpt9': 'LPT9' is a device name on players' systems"},
        {{"Aux/readme.txt"}, "refusing content name '/Aux': 'AUX' is a device name on players' systems"},
        {{"CON.tar.gz"}, "refusing content name '/CON.tar.gz': 'CON' is a device name on players' systems"},
        {{"prn.txt"}, "refusing content name '/prn.txt': 'PRN' is a device name on players' systems"},
        // Latin-1, and a UTF-16 surrogate written out as UTF-8.
        {{"caf\xe9.txt"}, "refusing content name '/caf\xe9.txt': players' systems take no name that is not UTF-8"},
        {{"half\xed\xa0\x80.txt"},
         "refusing content name '/half\xed\xa0M-^@.txt': players' systems take no name that is not UTF-8"},
        // On a player's FAT or NTFS drive the one would replace the other.
        {{"maps/Lake.map", "maps/lake.map"}, "refusing content names '/maps/Lake.map' and '/maps/lake.map" + twins},
        {{"maps/\xc3\xa9t\xc3\xa9.txt", "maps/\xc3\x89t\xc3\x89.txt"},
         "refusing content names '/maps/\xc3\x89t\xc3\x89.txt' and '/maps/\xc3\xa9t\xc3\xa9.txt" + twins},
        // Composed and decomposed accents: one file to contentkit and the client.
        {{"maps/\xc3\xa9t\xc3\xa9.txt", "maps/e\xcc\x81te\xcc\x81.txt"},
         "refusing content names '/maps/e\xcc\x81te\xcc\x81.txt' and '/maps/\xc3\xa9t\xc3\xa9.txt" + composed},
        {{"Caf\xc3\xa9/a.txt", "cafe\xcc\x81/b.txt"},
         "refusing content names '/Caf\xc3\xa9' and '/cafe\xcc\x81" + composed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.names[0]);
        for (const std::string& name : row.names) put(name, "no");
        EXPECT_FALSE(tryPublish(&result, &error));
        EXPECT_EQ(error, row.error);
        EXPECT_FALSE(fs::exists(at("www/lastrev.txt")));
        for (const std::string& name : row.names) fs::remove_all(at("content/" + name.substr(0, name.find('/'))));
    }

    // A file published packed under the name of another file says which.
    put("c.ma_", mapText("its own"));
    put("c.map", mapText("packed as c.ma_"));
    EXPECT_FALSE(tryPublish(&result, &error, "", {"*.map"}));
    EXPECT_EQ(error, "'/c.map' would be published under a name that another file uses ('/c.ma_')");
    EXPECT_FALSE(fs::exists(at("www/lastrev.txt")));
    fs::rename(at("content/c.ma_"), at("content/C.MA_"));
    EXPECT_FALSE(tryPublish(&result, &error, "", {"*.map"}));
    EXPECT_EQ(error, "'/c.map' would be published under a name that another file uses ('/C.MA_')");
    fs::remove(at("content/C.MA_"));
    fs::remove(at("content/c.map"));

    // Content that contentkit is writing to is not read half-written.
    {
        const int writer = ::open(at("content").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(::flock(writer, LOCK_EX | LOCK_NB), 0);
        EXPECT_FALSE(tryPublish(&result, &error));
        ::close(writer);
        EXPECT_EQ(error, "contentkit is writing to the content directory " + at("content") +
                             "; publish once it has finished");
        EXPECT_FALSE(fs::exists(at("www/lastrev.txt")));
    }
    // Nor content it was stopped among moving into place.
    put(".contentkit.moves", std::string("a\0b\0", 4));
    EXPECT_FALSE(tryPublish(&result, &error));
    EXPECT_EQ(error, "contentkit was stopped while it moved its files into " + at("content") +
                         ", which holds some of them; the next contentkit build-demo or import-tiled there finishes "
                         "the moves, or remove its list .contentkit.moves to publish the files as they are");
    EXPECT_FALSE(fs::exists(at("www/lastrev.txt")));
    fs::remove(at("content/.contentkit.moves"));

    put("tiny_", "x");  // ends in an underscore but cannot be packed
    EXPECT_FALSE(tryPublish(&result, &error));
    EXPECT_EQ(error.rfind("'/tiny_' ends in an underscore and does not compress", 0), 0u);
    EXPECT_FALSE(fs::exists(at("www/lastrev.txt")));

    // The longest file name a launcher can download beside itself as NAME.new;
    // a directory's name has no such suffix and may use all 255 bytes.
    fs::remove(at("content/tiny_"));
    const std::string longest(247, 'L'), dir(255, 'D');
    put(dir + "/" + longest + ".txt", "fits");
    EXPECT_TRUE(tryPublish(&result, &error)) << error;
    put(longest + "M.txt", "does not");
    EXPECT_FALSE(tryPublish(&result, &error));
    EXPECT_EQ(error, "refusing content name '/" + longest + "M.txt': a file name of 252 bytes leaves no room "
                     "for the launcher's download beside it (at most 251)");
    EXPECT_EQ(www("lastrev.txt"), "REV:1\n");

    // A published folder never becomes a file, nor a published file a folder.
    fs::remove(at("content/" + longest + "M.txt"));
    put("folder/in.txt", "in a folder");
    ASSERT_TRUE(tryPublish(&result, &error)) << error;
    fs::remove_all(at("content/folder"));
    put("folder", "a file now");
    EXPECT_FALSE(tryPublish(&result, &error));
    EXPECT_EQ(error, "refusing content file '/folder': an earlier revision published it as a folder, and "
                     "players' launchers never remove folders; give the file another name");
    fs::remove(at("content/folder"));
    fs::remove(at("content/good.txt"));
    put("good.txt/inside.txt", "a folder now");
    EXPECT_FALSE(tryPublish(&result, &error));
    EXPECT_EQ(error, "refusing content folder '/good.txt': an earlier revision published it as a file, and "
                     "players' launchers that still hold the file would keep it in the folder's way; give the "
                     "folder another name");
    fs::remove_all(at("content/good.txt"));
    fs::create_symlink("elsewhere", at("content/link"));
    EXPECT_FALSE(tryPublish(&result, &error));
    EXPECT_EQ(error, "refusing content '/link': it is a symbolic link, which players' launchers do not make; put the "
                     "file or folder itself in its place");
    EXPECT_EQ(www("lastrev.txt"), "REV:2\n");
}

// A SERVER_DIR that is a file is not taken for a tree (it would be
// replaced), and the server tree and the content stay apart (a tree inside
// the content would ship its own files, its lock among them). A link planted
// in the live tree is refused by every command that makes a tree, and by
// verify: a publish once wrote the next tree's files through it, outside.
TEST_F(PatchPubTest, ServerDirThatIsAFileOrOverlapsTheContentIsRefused) {
    put("data/a.txt", "a");
    quask_test::writeFile(at("notes.txt"), "the publisher's notes");
    fs::create_symlink("notes.txt", at("notes-link"));
    quillon_test::putContent(at("outside"), "a.txt", "a");
    fs::create_symlink(at("outside"), at("outside-link"));  // a tree on another disk, linked by hand
    fs::create_directories(at("pub.trees/1"));
    const std::string outside = fs::canonical(at("outside")).string(), trees = fs::canonical(at("pub.trees")).string();
    const auto planted = [this](const char* server, const char* link) {
        return "the server tree " + at(server) + " holds a link patchpub did not write: " + at(server) + "/" + link +
               "; the next tree's files would be written through it: put in its place what it links to";
    };
    const struct {
        const char* server;
        const char* content;
        std::string error;
        const char* link = nullptr;  // planted below the published tree, to `target`
        std::string target = {};
    } cases[] = {
        {"notes.txt", "content", at("notes.txt") + " is a file, not a patch server tree: give a directory, a link to "
                                                   "one or a path that does not exist yet"},
        {"notes-link", "content", at("notes-link") + " is a link to no directory, not a patch server tree: give a "
                                                     "directory, a link to one or a path that does not exist yet"},
        {"content/www", "content", "the server tree " + at("content/www") + " lies inside the content directory " +
                                       at("content") + ": its files would be published as game content; keep it "
                                       "outside"},
        {"content/data/../www", "content/data/..", "the server tree " + at("content/data/../www") +
                                                       " lies inside the content directory " + at("content/data/..") +
                                                       ": its files would be published as game content; keep it "
                                                       "outside"},
        {"content", "content/data", "the content directory " + at("content/data") + " lies inside the server tree " +
                                        at("content") + "; keep it outside"},
        {"outside-link", "content", at("outside-link") + " is a link to " + outside + ", not to a tree of "
                                    "patchpub's in " + at("outside-link.trees") + "/: give " + outside + " itself as "
                                    "SERVER_DIR (patchpub moves that tree into " + outside + ".trees/ and makes it a "
                                    "link there; the link " + at("outside-link") + " then still leads to the live "
                                    "revision)"},
        {"pub.trees/1", "content", at("pub.trees/1") + " lies in " + trees + "/, where patchpub keeps the trees of " +
                                       trees.substr(0, trees.size() - 6) + ": give " +
                                       trees.substr(0, trees.size() - 6) + " as SERVER_DIR"},
        {"dir-out", "content", planted("dir-out", "data/data"), "data/data", at("outside")},
        {"file-out", "content", planted("file-out", "data/data/a.txt"), "data/data/a.txt", at("notes.txt")},
        {"dir-in", "content", planted("dir-in", "data/old-meta"), "data/old-meta", "../meta"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server);
        patchpub::PublishOptions o;
        o.serverDir = at(c.server);
        o.contentDir = at(c.content);
        patchpub::PublishResult result;
        std::string error;
        std::string live;
        if (c.link) {
            ASSERT_TRUE(patchpub::publishRevision(o, &result, &error)) << error;
            fs::remove_all(at(c.server) + "/" + c.link);
            fs::create_symlink(c.target, at(c.server) + "/" + c.link);
            put(std::string("data/") + c.server + ".txt", "written through the link");
            live = fs::read_symlink(at(c.server)).string();
        }
        EXPECT_FALSE(patchpub::publishRevision(o, &result, &error));
        EXPECT_EQ(error, c.error);
        if (!c.link) {
            EXPECT_FALSE(fs::exists(at(std::string(c.server) + ".trees")));
            continue;
        }
        EXPECT_EQ(fs::read_symlink(at(c.server)).string(), live);
        EXPECT_FALSE(fs::exists(at(std::string(c.server) + ".trees/2.building")));
        EXPECT_FALSE(fs::exists(at(std::string(c.server) + ".trees/2")));
        // Nor does any command that builds on the live tree, keyed or not.
        patchpub::MaintainOptions m;
        m.serverDir = at(c.server);
        patchpub::MaintainResult done;
        EXPECT_FALSE(patchpub::maintainServer(patchpub::Maintenance::kMirrors, m, &done, &error));
        EXPECT_EQ(error, c.error);
        const quask_test::RunResult v = patchpubRun({"verify", at(c.server)}, m_dir);
        EXPECT_EQ(v.code, 1);
        EXPECT_NE(v.out.find(std::string("problem: the tree holds a link patchpub did not write: ") + c.link + "\n"),
                  std::string::npos)
            << v.out;
    }
    EXPECT_EQ(quask_test::readFile(at("notes.txt")), "the publisher's notes");
    EXPECT_TRUE(fs::is_symlink(at("notes-link")));
    EXPECT_FALSE(fs::exists(at("content/www")));
    EXPECT_EQ(std::distance(fs::directory_iterator(at("outside")), fs::directory_iterator()), 1);
}

TEST_F(PatchPubTest, CopiedGameDirectoryShipsNoLeftoversAndNamesThatNeedEncodingArrive) {
    put("data/a.txt", "a");
    put("docs/with space #1 100%&.txt", "encoded on the way");
    put("docs/odd.", "a name Windows cannot hold");
    // What a launcher leaves in the game directory it patched, a killed
    // contentkit in the content it wrote, and the client as the publisher
    // played.
    const char* const leftovers[] = {"data/a.txt.new", "data/.quask-12-3.tmp", "quillon_old",
                                     "data/quillon.dat", "data/quillon.lock", "DoFullCheck",
                                     "data/map/.Meadow.rmap.contentkit.tmp", "velmar.cfg", "velmar.cfg.bad",
                                     "velmar.cfg.bad.2", "log/LastRun.log", "log/CEGUI.log", "ScreenShots/2026-12/ScreenShot0000.png"};
    for (const char* name : leftovers) put(name, "left behind");
    patchpub::PublishResult r;
    std::string error;
    ASSERT_TRUE(tryPublish(&r, &error)) << error;
    EXPECT_EQ(r.added, 3u);
    EXPECT_EQ(r.warnings, (std::vector<std::string>{
                              "'/docs/odd.' ends a name in a dot or a space: players on Windows cannot install it",
                              "not publishing '/ScreenShots': the player's screenshots",
                              "not publishing '/data/.quask-12-3.tmp': a file the launcher left behind",
                              "not publishing '/data/a.txt.new': a file the launcher left behind",
                              "not publishing '/data/map/.Meadow.rmap.contentkit.tmp': a file contentkit left behind",
                              "not publishing '/log/CEGUI.log': the client's log",
                              "not publishing '/log/LastRun.log': the client's log",
                              "not publishing '/velmar.cfg': the player's settings, which the client writes",
                              "not publishing '/velmar.cfg.bad': the player's settings, which the client writes",
                              "not publishing '/velmar.cfg.bad.2': the player's settings, which the client writes"}));
    EXPECT_EQ(www("meta/1.txt").find("/ScreenShots"), std::string::npos);
    for (const char* name : leftovers) {
        EXPECT_EQ(www("meta/1.txt").find("/" + std::string(name)), std::string::npos) << name;
        fs::remove(at(std::string("content/") + name));
    }
    fs::remove_all(at("content/ScreenShots"));
    ASSERT_FALSE(patch("fresh"));
    EXPECT_EQ(differences("fresh"), "");
    EXPECT_NE(requests().find("GET /data/docs/with%20space%20%231%20100%25%26.txt\n"), std::string::npos);
}

// A tree in which an older patchpub published the publisher's settings: the
// next revision drops them without a delete line, so players keep their own
// and a full check no longer puts the publisher's back.
TEST_F(PatchPubTest, SettingsAnOlderToolPublishedLeaveTheTreeButStayWithPlayers) {
    put("data/a.txt", "a");
    put("velmar.cfx", "MouseSpeed = 1.0\n");  // made into velmar.cfg below, as an older tool published it
    publish();
    const std::string tree = fs::read_symlink(at("www")).string();
    const std::string root = tree[0] == '/' ? tree : at(tree);
    for (const char* list : {"meta/manifest.txt", "meta/1.txt", "meta/sum_1.txt", "meta/sum_full.txt"}) {
        std::string text = quask_test::readFile(root + "/" + list);
        const std::size_t at = text.find("/velmar.cfx");
        ASSERT_NE(at, std::string::npos) << list;
        text.replace(at, 11, "/velmar.cfg");
        ASSERT_TRUE(quask_test::writeFile(root + "/" + list, text));
    }
    fs::rename(root + "/data/velmar.cfx", root + "/data/velmar.cfg");
    ASSERT_FALSE(patch("old"));
    ASSERT_EQ(quask_test::readFile(at("old/velmar.cfg")), "MouseSpeed = 1.0\n");
    ASSERT_TRUE(quask_test::writeFile(at("old/velmar.cfg"), "MouseSpeed = 2.5\n"));  // the player's own

    fs::remove(at("content/velmar.cfx"));
    put("velmar.cfg", "MouseSpeed = 1.5\n");  // the publisher played meanwhile
    put("data/b.txt", "b");
    const patchpub::PublishResult r = publish();
    EXPECT_EQ(r.revision, 2u);
    EXPECT_EQ(r.deleted, 0u);
    EXPECT_EQ(www("meta/2.txt").find("velmar.cfg"), std::string::npos) << www("meta/2.txt");
    EXPECT_EQ(www("meta/sum_full.txt").find("velmar.cfg"), std::string::npos);
    ASSERT_FALSE(patch("old"));
    ASSERT_FALSE(patch("old", runFullCheck));
    EXPECT_EQ(quask_test::readFile(at("old/velmar.cfg")), "MouseSpeed = 2.5\n");
    EXPECT_EQ(quask_test::readFile(at("old/data/b.txt")), "b");
    // Later revisions go on as usual, and a fresh install still gets what
    // revision 1 listed.
    put("data/c.txt", "c");
    EXPECT_EQ(publish().revision, 3u);
    ASSERT_FALSE(patch("fresh"));
    EXPECT_EQ(quask_test::readFile(at("fresh/data/c.txt")), "c");
    EXPECT_EQ(quask_test::readFile(at("fresh/velmar.cfg")), "MouseSpeed = 1.0\n");
}

TEST_F(PatchPubTest, CompressedProgramsStayProgramsAndTheLauncherIsBackedUp) {
    std::string script = "#!/bin/sh\n";
    for (int i = 0; i < 200; ++i) script += "echo line " + std::to_string(i % 10) + "\n";
    // A launcher must be a program of this machine that starts, packed or not.
    put("quillon", quask_test::readFile("/bin/true") + "# launcher\n", true);
    put("system/velmar", script + "# client\n", true);
    put("data/readme.txt", mapText("not a program"));
    publish({}, {"*"});
    ASSERT_TRUE(fs::exists(at("www/data/quillo_")));
    ASSERT_TRUE(fs::exists(at("www/data/system/velma_")));
    fs::create_directories(at("game"));
    std::ofstream(at("game/quillon")) << "old launcher";
    fs::permissions(at("game/quillon"), fs::perms(0755));
    ASSERT_FALSE(patch("game"));
    EXPECT_EQ(differences("game"), "");
    EXPECT_EQ(quask_test::readFile(at("game/quillon_old")), "old launcher");  // the running one
    EXPECT_TRUE(executable("game/quillon"));
    EXPECT_TRUE(executable("game/system/velmar"));  // new: a program by its first bytes
    EXPECT_FALSE(executable("game/data/readme.txt"));
}

TEST_F(PatchPubTest, FailedPublishLeavesTheLiveRevisionWhole) {
    put("a.txt", mapText("first a"));
    put("b.txt", "b");
    publish();
    const std::string fullBefore = www("meta/sum_full.txt");
    // A changed file that sorts first, then one that can only travel packed
    // and does not compress: the run fails after preparing the first.
    put("a.txt", mapText("second a"));
    put("z_", quillon_test::noise(3000, 9));
    patchpub::PublishResult r;
    std::string error;
    EXPECT_FALSE(tryPublish(&r, &error));
    EXPECT_EQ(error.rfind("'/z_' ends in an underscore and does not compress", 0), 0u) << error;
    EXPECT_EQ(www("lastrev.txt"), "REV:1\n");
    EXPECT_EQ(www("data/a.txt"), mapText("first a"));
    EXPECT_EQ(www("meta/sum_full.txt"), fullBefore);
    EXPECT_FALSE(fs::exists(at("www/meta/2.txt")));
    EXPECT_FALSE(fs::exists(at("www.trees/2.building")));
    // Every client still gets revision 1 whole, and its full check agrees.
    ASSERT_FALSE(patch("fresh"));
    EXPECT_EQ(quask_test::readFile(at("fresh/a.txt")), mapText("first a"));
    const std::size_t fetched = requests().size();
    ASSERT_FALSE(patch("fresh", runFullCheck));
    EXPECT_EQ(requests().find("GET /data/", fetched), std::string::npos);
}

// A content file rewritten after it was hashed is published as it was read
// and recorded so. Its first digest once stood in the manifest: when the
// file went back to those bytes, the next run found nothing changed and
// every player kept the rewrite.
TEST_F(PatchPubTest, ContentRewrittenWhilePublishingIsRecordedAsPublished) {
    put("a.txt", "a one");
    publish();
    put("a.txt", "a two");
    patchpub::PublishOptions o;
    o.serverDir = at("www");
    o.contentDir = at("content");
    o.progress = [this](const patchpub::PublishProgress& p) {
        if (p.phase == patchpub::PublishProgress::Reading) put("a.txt", "a rewritten");
    };
    patchpub::PublishResult r;
    std::string error;
    ASSERT_TRUE(patchpub::publishRevision(o, &r, &error)) << error;
    EXPECT_EQ(www("data/a.txt"), "a rewritten");
    put("a.txt", "a two");
    r = publish();
    EXPECT_TRUE(r.published);
    EXPECT_EQ(r.revision, 3u);
    ASSERT_FALSE(patch("fresh"));
    EXPECT_EQ(quask_test::readFile(at("fresh/a.txt")), "a two");
}

TEST(PatchPubManifest, TextRoundTripsAndDamageIsRefused) {
    patchpub::Manifest m;
    m.revision = 12;
    m.directories = {"/data", "/data/maps"};
    m.files["/data/maps/x.map"] = patchpub::ManifestFile{hexToDigest("00112233445566778899aabbccddeeff"),
                                                         hexToDigest("ffeeddccbbaa99887766554433221100"), true};
    m.files["/quillon"] = patchpub::ManifestFile{};
    patchpub::Manifest back;
    ASSERT_TRUE(patchpub::parseManifest(patchpub::manifestText(m), &back));
    EXPECT_EQ(back.revision, 12u);
    EXPECT_EQ(back.directories, m.directories);
    ASSERT_EQ(back.files.size(), 2u);
    EXPECT_EQ(back.files["/data/maps/x.map"].published, m.files["/data/maps/x.map"].published);
    EXPECT_TRUE(back.files["/data/maps/x.map"].compressed);
    EXPECT_FALSE(back.files["/quillon"].compressed);

    EXPECT_FALSE(patchpub::parseManifest("F:0011:..\n", &back));
    EXPECT_FALSE(patchpub::parseManifest("REV:1\nD:/../up\n", &back));
    EXPECT_FALSE(patchpub::parseManifest("D:/data\n", &back));  // no revision
}

