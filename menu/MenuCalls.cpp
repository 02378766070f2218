#include "Menu.h"

#include "ConsoleWrite.h"
#include <wsclient/WebServiceClient.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>
#include <utility>

void Menu::callWithMessage(std::string url) {
    std::string retourWebService;
    bool isOk = false;

    rapidjson::StringBuffer s;
    rapidjson::Writer<rapidjson::StringBuffer> writer(s);
    writer.StartObject();
    writer.Key("page");
    writer.String("unIDdepage");
    writer.EndObject();

    FieldMap MsgMap;
    FieldMap FileMap;
    MsgMap["message"] = s.GetString();

    callWebService(std::move(url), MsgMap, FileMap, isOk, retourWebService);
    writeOut(retourWebService);
}

void Menu::callWithImage(std::string url) {
    std::string retourWebService;
    bool isOk = false;
    FieldMap MsgMap;
    FieldMap FileMap;

    const std::string path = "C:\\Users\\Zunel\\Pictures\\6uD78iT-.jpeg";
    const std::string path2 = "C:\\Users\\Zunel\\Pictures\\th.jpg";
    if (!writeOut("chemin du fichier : " + path)) {
        return; // the program ends without sending what it could not show
    }

    FileMap["file"] = path;
    FileMap["file2"] = path2;

    callWebService(std::move(url), MsgMap, FileMap, isOk, retourWebService);
    writeOut(retourWebService);
}
