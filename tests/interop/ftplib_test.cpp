// Python's ftplib through one whole session on the demo site as the account "writer", in
// passive and active mode with resumed transfers: every reply it shows, the bytes it stores and
// retrieves, and the tree it leaves behind. Then "reader", whose root lies below the drive's,
// lists /pub/ as its root.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/interop/demo_site.h"

namespace qorda::test {
namespace {

TEST_F(DemoSite, FtplibWholeSession) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  const std::string data = pattern_bytes(300000, 51);
  spit(work.path() + "/data.bin", data);
  spit(work.path() + "/session.py", R"PY(import ftplib, io, os, re, sys, time
port, drive, src = int(sys.argv[1]), sys.argv[2], sys.argv[3]
data = open(src, 'rb').read()
def last(reply): return reply.splitlines()[-1]
def undate(line): return re.sub(r'\w{3} [ \d]\d ( \d{4}|\d\d:\d\d)', 'DATE', line)
def refused(fn):
    try: fn(); print('ALLOWED')
    except ftplib.error_perm as e: print(e)
f = ftplib.FTP()
f.connect('127.0.0.1', port, timeout=20)
print(last(f.login('writer', 'Wr1te-me')))
print(f.pwd())
print(f.mkd('py dir'))
print(f.cwd('py dir'))
print(f.pwd())
print(f.storbinary('STOR data one.bin', io.BytesIO(data)))
assert open(drive + '/py dir/data one.bin', 'rb').read() == data, 'stored bytes'
print(f.size('data one.bin'))
stamp = f.sendcmd('MDTM data one.bin')
m = re.fullmatch(r'213 (\d{14})(\.\d{1,3})?', stamp)
assert m, stamp
shown = time.mktime(time.strptime(m.group(1), '%Y%m%d%H%M%S')) - time.timezone
assert abs(shown - os.stat(drive + '/py dir/data one.bin').st_mtime) < 2, (stamp, time.timezone)
print(f.nlst())
lines = []
f.dir(lines.append)
for l in lines: print(undate(l))
got = io.BytesIO()
print(f.retrbinary('RETR data one.bin', got.write))
assert got.getvalue() == data, 'retrieved bytes'
print(f.sendcmd('STAT').splitlines()[4])
# Active mode, and transfers that resume at an offset (REST before RETR and STOR).
f.set_pasv(False)
got = io.BytesIO()
print(f.retrbinary('RETR data one.bin', got.write, rest=100000))
assert got.getvalue() == data[100000:], 'resumed download'
print(f.storbinary('STOR part.bin', io.BytesIO(data[:123457])))
print(f.storbinary('STOR part.bin', io.BytesIO(data[123457:]), rest=123457))
assert open(drive + '/py dir/part.bin', 'rb').read() == data, 'resumed upload'
got = io.BytesIO()
print(f.retrbinary('RETR part.bin', got.write))
assert got.getvalue() == data, 'active download'
print(f.delete('part.bin'))
f.set_pasv(True)
print(f.rename('data one.bin', 'renamed.bin'))
assert os.path.exists(drive + '/py dir/renamed.bin')
refused(lambda: f.size('data one.bin'))
print(f.delete('renamed.bin'))
print(f.cwd('..'))
print(f.rmd('py dir'))
stat = f.sendcmd('STAT').splitlines()
print(stat[0][:4])
for l in stat[3:]: print(l)
print(f.sendcmd('SITE HELP'))
print(f.quit())
# "reader" has /c:/pub/ as its root: names, a UTF-8 one too, and link targets are shown below it.
f = ftplib.FTP()
f.connect('127.0.0.1', port, timeout=20)
print(last(f.login('reader', 'Read-0nly')))
print(sorted(f.nlst()))
lines = []
f.dir(lines.append)
print(len(lines), [undate(l) for l in lines if l.startswith('l')])
print(f.size('big.bin'))
refused(lambda: f.mkd('x'))
print(f.quit())
)PY");
  int st = -1;
  const std::string out =
      run_command("python3 '" + work.path() + "/session.py' " + std::to_string(port) + " '" +
                      drive() + "' '" + work.path() + "/data.bin'",
                  &st);
  ASSERT_EQ(st, 0) << out << srv->output();
  EXPECT_EQ(out,
            "230 User writer logged in.\n"
            "/\n"
            "/py dir\n"
            "250 CWD command successful.\n"
            "/py dir/\n"
            "226 Transfer Complete.\n"
            "300000\n"
            "['data one.bin']\n"
            "drwx------   1 ftp      users          0 DATE .\n"
            "drwx------   1 ftp      users          0 DATE ..\n"
            "-rwx------   1 ftp      users     300000 DATE data one.bin\n"
            "226 Transfer Complete.\n"
            "    TYPE: Image; STRUcture: File; transfer MODE: Stream\n"
            "226 Transfer Complete.\n"
            "226 Transfer Complete.\n"
            "226 Transfer Complete.\n"
            "226 Transfer Complete.\n"
            "250 DELE command successful.\n"
            "250 RNTO command successful.\n"
            "550 data one.bin: No such file or directory.\n"
            "250 DELE command successful.\n"
            "250 CWD command successful.\n"
            "250 RMD command successful.\n"
            "211-\n"
            "    Logged in as user 'writer'\n"
            "    TYPE: Image; STRUcture: File; transfer MODE: Stream\n"
            "    No data connection.\n"
            "211 End of status\n"
            "214-The following SITE commands are recognized (* => unimplemented.)\n"
            "   STAT    HELP    PASS    \n"
            "214 Direct comments about this server to its administrator.\n"
            "221 Goodbye.\n"
            "230 User reader logged in.\n"
            "['.message', 'README.txt', 'big.bin', 'docs', 'hello.txt', 'latest.txt', 'manual', "
            "'release notes.txt', '\xc3\xa9t\xc3\xa9.txt']\n"
            "11 ['lrwx------   1 ftp      users         11 DATE latest.txt -> /hello.txt', "
            "'lrwx------   1 ftp      users          7 DATE manual -> /docs/']\n"
            "300000\n"
            "550 x: Permission denied.\n"
            "221 Goodbye.\n")
      << srv->output();
  EXPECT_FALSE(std::filesystem::exists(drive() + "/py dir"));
}

}  // namespace
}  // namespace qorda::test
