// PortInstaller: installs, names and removes the devices of the QRV 7310-zz5
// PCI serial-port card. One object per run; its constructor reads the Windows
// directory, chooses the folder of the card's INF files, reads their setup
// classes and takes a snapshot of the present ports-class devices. Every
// operation returns 0 on success.
#pragma once

#include "engine/tables.h"
#include "platform/platform.h"

class PortInstaller {
 public:
  PortInstaller();
  virtual ~PortInstaller();

  PortInstaller(const PortInstaller&) = delete;
  PortInstaller& operator=(const PortInstaller&) = delete;

  // Where set-up found the INF files. The folder inf beside the exe is
  // used when it holds all three: the driver package on the stick, in the
  // unpacked package or in the deployment kit's copy. Otherwise, as
  // terminals set up before were, the inf folder of the Windows directory.
  enum class InfSource {
    BesideExe,
    Windows,
    None,  // neither: the Windows directory could not be read whole
  };
  InfSource InfFolderSource() const { return infSource; }
  // The folder the INF files are read from; empty for InfSource::None.
  const char* InfFolder() const { return infFolder; }
  // Whether the folder beside the exe could not be used because its path,
  // or that of an INF file in it, does not fit MAX_PATH.
  bool ExeFolderTooLong() const { return exeFolderTooLong; }

  // Reads the classes of the ports, base and product INF in that order,
  // stopping at the first that cannot be read: 0 when all three were read.
  int ResolveInfClasses();
  // Takes the snapshot of present ports-class devices; always 0.
  int OpenPortDeviceSet();

  // Installs the product function, the base function, then the four
  // children. 0 when both functions installed, whatever the children did;
  // otherwise the platform's error code for the function that failed. A
  // device that already runs the INF's driver, or a better one, counts as
  // installed: only the base function is forced to take it.
  // Given rebootRequired, Windows leaves any restart to the caller, and it
  // is set to whether an installation that worked needs one; without it,
  // Windows asks the user itself, after each driver that needs it.
  // A run that must not wait on a dialog (interactive false: nobody may be
  // there to answer it) has Windows fail any step that needs one instead,
  // with ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION.
  int InstallDrivers(BOOL* rebootRequired = nullptr, bool interactive = true);
  // Whether the last InstallDrivers found every device that it does not
  // force already with its driver or a better one.
  bool DriversAlreadyCurrent() const { return driversAlreadyCurrent; }
  // Why the last InstallDrivers failed, where its code alone does not say.
  enum class InstallFault {
    None,
    WindowsError,          // the code is Windows' own
    NoErrorCode,           // Windows failed the step without a code: 1
    WindowsDirectoryLong,  // no INF path fits: ERROR_BUFFER_OVERFLOW
    NoDriverInInf,         // the INF had nothing for a device without a driver: ERROR_NO_MORE_ITEMS
    InfMissing,            // the INF file is not in the INF folder: see MissingInf
  };
  InstallFault LastInstallFault() const { return installFault; }
  // The INF file that the last InstallDrivers found missing.
  InfFile MissingInf() const { return missingInf; }

  static constexpr DWORD kInstanceIdSize = 100;

  // Whether a device is plugged in, as Windows can tell.
  enum class Presence { Plugged, Unplugged, Unknown };

  // What a reassign found of a child's ports in the snapshot: how many
  // there are, how many of them held another name before (or one that
  // could not be read), and how many of those answer to the new name only
  // after Windows restarts. When another device holds the name, which one
  // it is, the name of its setup class (empty when it cannot be read), and
  // whether it is plugged in.
  struct ChildPorts {
    DWORD found;
    DWORD renamed;
    DWORD notRestarted;
    char holder[kInstanceIdSize];
    char holderClass[32];
    Presence holderPresence;
  };

  // Names every port of the card in the snapshot that carries the child's
  // tag: its PortName value and its friendly name. 1 when another device,
  // one that is not a present port of the card, holds the name (then
  // nothing is written), when a key could not be opened, the name not
  // written or a name would not fit; 0 otherwise, also when no device
  // matched. Every device of every class that holds a COM name counts, a
  // modem or a Bluetooth link as much as a port; one that is not plugged
  // in keeps its name, and the card's own ports left behind in another slot
  // do too: they count as other devices. Each child named claims its new
  // number in the COM port database and releases its old one, unless
  // another device, present or not, still holds that; and it is restarted,
  // as Device Manager does, so that it answers to its new name at once.
  int ReassignChildPort(ChildPort child, const char* portName, ChildPorts* ports = nullptr);

  // Removes every port of the card in the snapshot that carries one of the
  // tags, through its class installer, and releases the number each
  // removed port held where the class installer has not; 0.
  int RemoveChildDevices();
  // Whether a removal can finish only when Windows restarts: a device that
  // could not be stopped, such as a port an application holds open. Windows
  // lists such a device until then, and a second run leaves it alone.
  bool RemovalNeedsRestart() const { return removalNeedsRestart; }

  // What a check found of the card's present devices of one kind, changing
  // nothing: how many there are, how many of them run a driver, and, of
  // ports, how many hold the name asked for, and the name of the first that
  // does not: "(none)", "(unreadable)", "(too long)" or the name itself.
  struct DeviceCheck {
    DWORD present;
    DWORD withDriver;
    DWORD named;
    char otherName[16];
  };
  // Of the card's product function (ProductInf) or base function (BaseInf),
  // found by their device IDs; of a child port, found by its tag. 0 when the
  // class could be searched, else 1.
  int CheckFunction(InfFile inf, DeviceCheck& check);
  int CheckChildPort(ChildPort child, const char* portName, DeviceCheck& check);

  // The COM port database is shared by the whole system: it is opened for
  // the naming or removal of the child ports and closed right after. 0 when
  // it was opened. Without it the ports are named and removed all the same.
  int OpenComDatabase();
  void CloseComDatabase();
  // Closes the keys of what the run owes a run after it, should it be cut
  // off (see RemoveChildDevices and ReassignChildPort).
  void CloseRecordKeys();
  // Whether a claim or a release that was due could not be made, because
  // the database could not be opened or refused the call.
  bool ComDatabaseMissed() const { return comDatabaseMisses != 0; }
  // Removes the card's product function and then, only when that worked,
  // its base function, one device each: 0 when both were removed, else 1.
  // Each run opens its device sets afresh.
  int RemoveParentDevices();

  // Counts the card's devices present now, found as the removal finds them:
  // the child ports by their tags in a fresh set of the ports class, the
  // functions by their device IDs. 0 when all three classes were searched;
  // 1 when one could not be, and count then holds only what was found.
  // Given pending, it is set to how many of them wait for the restart to be
  // removed.
  int CountCardDevices(DWORD& count, DWORD* pending = nullptr);

 private:
  static constexpr DWORD kWindowsDirSize = 20;
  static constexpr DWORD kClassNameSize = 50;
  // An INF path, and the folder it lies in: a path that Windows' own calls
  // take without the long-path prefix.
  static constexpr DWORD kPathSize = MAX_PATH;
  static constexpr DWORD kRegistryPathSize = 255;
  static constexpr DWORD kComNumberCount = COMDB_MAX_PORTS_ARBITRATED;

  GUID* ClassOf(InfFile inf);
  void ChooseInfFolder();
  bool HoldsInfFiles();
  bool FormatInfPath(InfFile inf, char (&path)[kPathSize]) const;
  static bool IsFile(const char* path);
  bool NextDevice(HDEVINFO set, DWORD index);
  bool ReadInstanceId(HDEVINFO set);
  HDEVINFO OpenClassSet(InfFile inf);
  bool IsChildPort(const char* tag) const;
  bool IsCardDevice(InfFile inf) const;
  bool RemoveDevice(HDEVINFO set);
  bool NeedsRestart(HDEVINFO set, PSP_DEVINFO_DATA record);
  bool RemovalPending() const;
  bool RowHasDriver(const HardwareIdRow& row);
  enum class Removal { Done, NoneFound, Failed };
  Removal RemoveCardFunction(InfFile inf);
  bool HasHardwareId(HDEVINFO set, const char* hardwareId);
  bool ReadComNumber(HDEVINFO set, DWORD& number);
  template <std::size_t N>
  bool ReadPortName(HDEVINFO set, char (&name)[N]);
  bool RunsDriver(HDEVINFO set);
  int CheckDevices(InfFile inf, const ChildPortRow* port, const char* portName, DeviceCheck& check);
  void ReadPortNames();
  Presence PresenceOfDevice() const;
  void DescribeHolder(DWORD number, ChildPorts& ports);
  bool RestartPort();
  struct CardPortName;
  CardPortName* FindCardPort();
  // What a change of a port's number did: the numbers, whether the port's
  // number changed (or was not known), and whether the new one was claimed
  // and the old one released by this change.
  struct NumberChange {
    DWORD from;
    DWORD to;
    bool changed;
    bool claimed;
    bool released;
  };
  NumberChange BeginNumberChange(const CardPortName* walked, DWORD to);
  void UndoNumberChange(const NumberChange& change);
  static void FinishNumberChange(CardPortName* walked, const NumberChange& change);
  bool ReadClaim(DWORD number, bool& claimed);
  void KeepClaimed(DWORD number);
  bool ReleaseComNumber(DWORD number);
  HKEY RecordKey(bool restarts, bool create);
  void OweRestart(const char* id, const char* portName);
  bool RestartOwed(const char* id);
  void OweRelease(DWORD number, bool owed);
  void WriteOwedReleases();
  void SettleOwedReleases();
  void ForgetRecords();

  HDEVINFO portDevices;
  GUID portsClass;
  GUID productClass;
  GUID baseClass;
  SP_DEVINFO_DATA deviceRecord;
  char windowsDir[kWindowsDirSize];
  char infFolder[kPathSize];
  InfSource infSource;
  bool exeFolderTooLong;
  char className[kClassNameSize];
  DWORD classNameSize;
  char instanceId[kInstanceIdSize];
  DWORD instanceIdSize;
  // Which INF classes set-up actually read; a class that was not read is
  // never used to open a device set.
  bool classRead[InfFileCount];

  // The COM numbers that devices hold, from one walk over every device of
  // every class that Windows keeps, present or not, which reads every
  // device's PortName once, on first need, before anything is changed: how
  // many devices hold each number, and which device that is not a present
  // port of the card holds it, if any (index 0 stands for a name that is no
  // COM number). Every claim and release of the run is decided from this
  // walk alone, kept up to date with what the run itself wrote.
  bool portNamesRead;
  // Some device's name could not be read: any number may be held by it, so
  // none is released.
  bool portNamesUnknown;
  DWORD comNumberHolders[kComNumberCount + 1];
  // 0 for none; else the holder's index in census plus 1, with
  // kHolderUnplugged or kHolderPresenceUnknown where it is not plugged in
  // or may not be.
  DWORD otherHolder[kComNumberCount + 1];
  static constexpr DWORD kHolderUnplugged = 0x80000000;
  static constexpr DWORD kHolderPresenceUnknown = 0x40000000;
  static constexpr DWORD kHolderIndex = 0x3FFFFFFF;
  // Every device of every class, present or not.
  HDEVINFO census;
  // What the walk read of each of the card's present ports, by instance
  // ID. A port beyond the table's room counts as unread.
  struct CardPortName {
    char instanceId[kInstanceIdSize];
    DWORD number;
    bool known;
  };
  static constexpr DWORD kMaxCardPorts = 16;  // four cards
  CardPortName cardPortNames[kMaxCardPorts];
  DWORD cardPortCount;
  // The keys of what a cut-off run would owe the next one, and the COM
  // numbers owed a release, as recorded.
  HKEY releasesKey;
  HKEY restartsKey;
  BYTE releasesOwed[kComNumberCount / 8];
  HCOMDB comDatabase;
  // Claims or releases that were due and could not be made, because the
  // database could not be opened or refused the call.
  DWORD comDatabaseMisses;
  bool driversAlreadyCurrent;
  InstallFault installFault;
  InfFile missingInf;
  bool removalNeedsRestart;
};
