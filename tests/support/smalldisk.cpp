#include "smalldisk.h"

#include "tempdir.h"

SmallDisk::SmallDisk(const QString& folder, int sparePages) : m_Folder(folder)
{
    m_Mounted = runCommand(QString("cp -a '%1' '%1.content' && mount -t tmpfs -o size=64m,mode=700,uid=$(stat -c %u "
                                   "'%1'),gid=$(stat -c %g '%1') tmpfs '%1' && cp -a '%1.content/.' '%1/' "
                                   "&& rm -rf '%1.content'")
                               .arg(folder))
        == 0;
    m_Mounted = m_Mounted && grow(sparePages);
}

SmallDisk::~SmallDisk()
{
    if (m_Mounted)
        runCommand("umount '" + m_Folder + "'");
}

bool SmallDisk::grow(int sparePages)
{
    return runCommand(QString("mount -o remount,size=$(( ($(df -B4096 --output=used '%1' | tail -1) + %2) * 4096 )) '%1'")
                          .arg(m_Folder)
                          .arg(sparePages))
        == 0;
}
