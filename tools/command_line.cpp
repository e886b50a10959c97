#include "command_line.h"

namespace brimvox::cli {

bool parseArgs(const std::vector<std::string>& args, unsigned allowed, Options& opt,
               std::string& error) {
    bool optionsEnded = false;
    std::string pendingType;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            opt.files.push_back(a);
            opt.fileTypes.push_back(pendingType);
            pendingType.clear();
            continue;
        }
        // An option with a value: "-t wav", "-twav", "--type wav" or "--type=wav".
        auto value = [&](const std::string& shortName, const std::string& longName,
                         std::string& out) {
            if (a == shortName || a == longName) {
                if (i + 1 >= args.size()) {
                    error = "option " + a + " needs a value";
                    return false;
                }
                out = args[++i];
            } else if (!longName.empty() &&
                       a.compare(0, longName.size() + 1, longName + "=") == 0) {
                out = a.substr(longName.size() + 1);
            } else {
                out = a.substr(shortName.size());
            }
            if (out.empty()) error = "option " + a + " needs a value";
            return !out.empty();
        };
        auto isValued = [&](const std::string& shortName, const std::string& longName) {
            return a.compare(0, shortName.size(), shortName) == 0 ||
                   (!longName.empty() &&
                    (a == longName || a.compare(0, longName.size() + 1, longName + "=") == 0));
        };
        if (a == "--") {
            optionsEnded = true;
        } else if (a == "-q" || a == "--quiet") {
            opt.quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            opt.verbose = true;
        } else if ((allowed & AllowRaw) && a == "--raw") {
            opt.raw = true;
        } else if ((allowed & AllowForce) && a == "--force") {
            opt.force = true;
        } else if ((allowed & AllowVad) && a == "--vad") {
            opt.vad = true;
        } else if ((allowed & AllowType) && isValued("-t", "--type")) {
            if (!pendingType.empty()) {
                error = "two -t options for one file";
                return false;
            }
            if (!value("-t", "--type", pendingType)) return false;
        } else if ((allowed & AllowDir) && isValued("-o", "")) {
            if (!value("-o", "", opt.outDir)) return false;
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (!pendingType.empty()) {
        error = "-t " + pendingType + " types the file named after it, but none follows";
        return false;
    }
    if (opt.quiet && opt.verbose) {
        error = "-q and -v exclude each other";
        return false;
    }
    return true;
}

bool wantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

bool expectFiles(const Options& opt, size_t count, std::string& error) {
    if (opt.files.size() == count) return true;
    error = opt.files.size() < count ? "missing argument" : "too many arguments";
    return false;
}

std::string outputName(const std::string& dir, const std::string& in) {
    size_t slash = in.find_last_of("/\\");
    std::string base = slash == std::string::npos ? in : in.substr(slash + 1);
    const size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    std::string d = dir;
    if (!d.empty() && d.back() != '/' && d.back() != '\\') d += '/';
    return d + base + ".bvx";
}

}  // namespace brimvox::cli
