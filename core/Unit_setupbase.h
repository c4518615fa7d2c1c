#pragma once
// Base of the program's settings object: owns the INI file while it is open.

#include <QString>
#include <memory>

class TIniFile;

class TSetup_Base {
public:
    TSetup_Base();
    TSetup_Base(const TSetup_Base&) = delete;
    TSetup_Base& operator=(const TSetup_Base&) = delete;

    // A settings file holds a few hundred bytes; anything near this size is not one.
    static constexpr qint64 MaxFileBytes = 1024 * 1024;

    virtual bool Load() = 0;
    virtual bool Save() = 0;
    virtual void SetDefaults() = 0;
    virtual ~TSetup_Base();

    // Opens (creating it empty when missing) the INI file. False when it cannot be read or made:
    // also when something other than a regular file is in its place, or a file larger than
    // MaxFileBytes.
    bool OpenFile(const QString& path);
    void CloseFile();

protected:
    TIniFile* Ini() const { return IniFile.get(); }

private:
    std::unique_ptr<TIniFile> IniFile;

public:
    bool IsOpen = false;
    // The opened file held something besides blanks (a file just created holds nothing).
    bool HasContent = false;
};
